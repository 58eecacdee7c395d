#pragma once

#include "app/AppModel.h"
#include "platform/StaticSystemAccess.h"
#include "support/FakeAudioDevice.h"
#include "support/ScriptedRecognizer.h"
#include "system/CredentialStore.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace kestrabo::test {

// A companion model on test doubles: fixed permission answers, preferences in a temporary
// file, the key in memory, a scripted sound device. Nothing it builds reaches outside loopback.
struct ModelFixture {
    QTemporaryDir directory;
    std::unique_ptr<QSettings> preferences;
    StaticSystemAccess access;
    InMemoryCredentialStore memoryStore;
    std::shared_ptr<FakeAudioScript> audio = std::make_shared<FakeAudioScript>();
    std::shared_ptr<RecognizerScript> recognizer = std::make_shared<RecognizerScript>();
    CredentialStore* store = &memoryStore;
    // What the model is built with; a test may change it before make().
    Platform platform;
    std::unique_ptr<AppModel> model;

    ModelFixture()
        : preferences(std::make_unique<QSettings>(directory.filePath(QStringLiteral("preferences.ini")),
                                                  QSettings::IniFormat))
    {
        platform.access = &access;
        platform.preferences = preferences.get();
        platform.audioDevice = FakeAudioDevice::factory(audio);
        platform.speechRecognizer = RecognizerScript::factory(recognizer);
    }

    AppModel& make(AppModel::Options options = {.enableShortcuts = false, .loadCredentials = true})
    {
        model = std::make_unique<AppModel>(options, *store, platform);
        return *model;
    }
};

} // namespace kestrabo::test
