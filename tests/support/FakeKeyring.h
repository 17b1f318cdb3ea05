#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "notify/PasswordStore.h"

// A keyring for tests, so that no test ever reaches the user's own: entries in memory, a
// switch for "no keyring here", and one for a keyring that never answers (a locked one
// waiting for its user). Answers come later from the event loop, as the real one's do.
class FakeKeyring : public IKeyring {
public:
    struct State {
        bool available = true;
        bool answers = true;
        std::map<std::string, std::string> entries;
        int reads = 0;
        int writes = 0;
    };

    explicit FakeKeyring(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void Read(const std::string& key, ReadDone done) override {
        ++state_->reads;
        Later([state = state_, key, done] {
            if (!state->available) return done(Status::Unavailable, {});
            const auto it = state->entries.find(key);
            if (it == state->entries.end()) return done(Status::NotFound, {});
            done(Status::Done, it->second);
        });
    }
    void Write(const std::string& key, const std::string& secret, WriteDone done) override {
        ++state_->writes;
        Later([state = state_, key, secret, done] {
            if (!state->available) return done(Status::Unavailable);
            state->entries[key] = secret;
            done(Status::Done);
        });
    }
    void Remove(const std::string& key, WriteDone done) override {
        Later([state = state_, key, done] {
            if (!state->available) return done(Status::Unavailable);
            done(state->entries.erase(key) ? Status::Done : Status::NotFound);
        });
    }

private:
    void Later(std::function<void()> answer) {
        if (!state_->answers) return;
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(answer),
                                  Qt::QueuedConnection);
    }
    std::shared_ptr<State> state_;
};
