#pragma once

#include "app/AppModel.h"
#include "platform/StaticSystemAccess.h"
#include "system/CredentialStore.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace kestrabo::test {

// A companion model on test doubles: fixed permission answers, preferences in a temporary
// file, the key in memory. Nothing it builds reaches outside loopback.
struct ModelFixture {
    QTemporaryDir directory;
    std::unique_ptr<QSettings> preferences;
    StaticSystemAccess access;
    InMemoryCredentialStore memoryStore;
    CredentialStore* store = &memoryStore;
    std::unique_ptr<AppModel> model;

    ModelFixture()
        : preferences(std::make_unique<QSettings>(directory.filePath(QStringLiteral("preferences.ini")),
                                                  QSettings::IniFormat))
    {
    }

    AppModel& make(AppModel::Options options = {.enableShortcuts = false, .loadCredentials = true})
    {
        model = std::make_unique<AppModel>(options, *store, Platform{.access = &access, .preferences = preferences.get()});
        return *model;
    }
};

} // namespace kestrabo::test
