#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "notify/SmtpSecret.h"

class QTimer;

// The desktop keyring as the password store sees it: asynchronous reads and writes of one
// secret under a key. Results come back on the thread that asked (the main thread).
class IKeyring {
public:
    enum class Status {
        Done,         // read: found; write, remove: done
        NotFound,     // read: the keyring works but holds nothing under the key
        Unavailable,  // no keyring: no session bus, no Secret Service, refused, failed
    };
    using ReadDone = std::function<void(Status, const std::string& secret)>;
    using WriteDone = std::function<void(Status)>;

    virtual ~IKeyring() = default;
    virtual void Read(const std::string& key, ReadDone done) = 0;
    virtual void Write(const std::string& key, const std::string& secret, WriteDone done) = 0;
    virtual void Remove(const std::string& key, WriteDone done) = 0;
};

// The desktop's keyring through QtKeychain (the Secret Service on Linux). With the
// environment variable AVLO_KEYRING set to "none" it is never asked and always unavailable,
// which keeps a rack PC (and every test) away from any session keyring.
std::unique_ptr<IKeyring> MakeDesktopKeyring();

// The e-mail sign-in password: in the desktop keyring, never in the settings file. Where no
// keyring is available it lives in a file beside the settings file, named as that file with
// ".secret" appended, readable by the user alone (mode 0600, written atomically), as UTF-8
// text whose one final line end is ignored; an administrator may write that file by hand. A
// file there that is a symbolic link, belongs to another user or that others may read or
// change is not used, and PlaceText says so.
class CPasswordStore : public QObject {
    Q_OBJECT

public:
    enum class Place { Unknown, Keyring, File };
    // A keyring that does not answer within this time (a locked one waiting for its user) is
    // taken as unavailable, so that an alert does not wait for ever.
    static constexpr int KeyringWaitMs = 30000;
    void SetKeyringWaitMs(int ms);

    CPasswordStore(const std::string& configPath, std::unique_ptr<IKeyring> keyring,
                   QObject* parent = nullptr);
    ~CPasswordStore() override;

    // Starts reading the password (keyring first, then the file); Loaded follows, at once
    // when it was read before. Again after a Load that is still under way: nothing new.
    void Load();
    bool Ready() const { return ready_; }
    bool Loading() const { return loading_; }
    // The password as last read or saved; empty until Ready.
    std::string_view Password() const { return password_.View(); }
    // Keeps a new password: in the keyring, or in the file when there is none. An empty
    // password removes it from both. Saved follows.
    void Save(const std::string& password);
    Place Where() const { return place_; }
    std::string FilePath() const { return filePath_; }
    // A sentence that says where the password is kept, for the log and the dialog.
    std::string PlaceText() const;

    // Why the file beside the settings was not used although it is there (a link, another
    // user's file, one that others can read), or empty.
    const std::string& FileRefusal() const { return fileRefusal_; }

    // The file's own operations (exposed for the tests of its rules). ReadFile is false when
    // there is no file, or when it is not this user's alone; *refusal then says why (empty
    // when there is none).
    static bool ReadFile(const std::string& path, std::string& password,
                         std::string* refusal = nullptr);
    static bool WriteFile(const std::string& path, std::string_view password, std::string* failure);

signals:
    void Loaded();
    // A Save has ended; ok is false when the password could be kept nowhere (failure says why).
    void Saved(bool ok, const QString& failure);
    // The place is known for the first time in this run (or has changed): log it once.
    void PlaceKnown();

private:
    void FinishLoad(IKeyring::Status status, const std::string& secret);
    void SetPlace(Place place, const std::string& fileRefusal = {});

    const std::string key_;
    const std::string filePath_;
    std::unique_ptr<IKeyring> keyring_;
    QTimer* keyringTimer_ = nullptr;
    CSmtpSecret password_;
    Place place_ = Place::Unknown;
    std::string fileRefusal_;
    bool ready_ = false;
    bool loading_ = false;
    unsigned loadRound_ = 0;  // a late answer of a read that timed out is ignored
};
