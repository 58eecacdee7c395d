#pragma once

#include <QFont>
#include <QString>

class QLabel;
class QPushButton;
class QStyle;
class QWidget;

// Small builders shared by the island's pages, so every text and button looks alike.
namespace kestrabo::island {

enum class Ink { primary, secondary, leaf, warning };

QLabel* text(QWidget* parent, const QString& value, int pointSize = 12, QFont::Weight weight = QFont::Normal,
             Ink ink = Ink::primary);
QPushButton* button(QWidget* parent, const QString& label, const QString& iconName = {});
// An icon-only button: `accessible` is read out, `help` shows on hover.
QPushButton* iconButton(QWidget* parent, const QString& iconName, const QString& accessible, const QString& help);
void setIcon(QLabel* label, const QString& iconName, Ink ink = Ink::primary);
void setInk(QWidget* widget, Ink ink);
// Widgets made after the island took its look need it handed down explicitly.
void adoptStyle(QWidget* root, QStyle* style);

} // namespace kestrabo::island
