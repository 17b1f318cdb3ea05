#include "notify/PasswordStore.h"

#include <fcntl.h>
#include <qt6keychain/keychain.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QPointer>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/PrivateFiles.h"

namespace {

const QString Service = QStringLiteral("AVLO Monitor");

bool KeyringDisabled() {
    const char* choice = std::getenv("AVLO_KEYRING");
    return choice && std::strcmp(choice, "none") == 0;
}

IKeyring::Status StatusOf(const QKeychain::Job& job) {
    switch (job.error()) {
        case QKeychain::NoError:
            return IKeyring::Status::Done;
        case QKeychain::EntryNotFound:
            return IKeyring::Status::NotFound;
        default:
            return IKeyring::Status::Unavailable;
    }
}

class DesktopKeyring : public IKeyring {
public:
    void Read(const std::string& key, ReadDone done) override {
        if (KeyringDisabled()) return done(Status::Unavailable, {});
        auto* job = new QKeychain::ReadPasswordJob(Service);
        job->setAutoDelete(true);
        job->setKey(QString::fromStdString(key));
        QObject::connect(job, &QKeychain::Job::finished, job, [done](QKeychain::Job* j) {
            const auto* read = static_cast<QKeychain::ReadPasswordJob*>(j);
            const Status status = StatusOf(*j);
            QByteArray bytes = status == Status::Done ? read->textData().toUtf8() : QByteArray();
            done(status, bytes.toStdString());
            bytes.fill('\0');
        });
        job->start();
    }
    void Write(const std::string& key, const std::string& secret, WriteDone done) override {
        if (KeyringDisabled()) return done(Status::Unavailable);
        auto* job = new QKeychain::WritePasswordJob(Service);
        job->setAutoDelete(true);
        job->setKey(QString::fromStdString(key));
        job->setTextData(QString::fromStdString(secret));
        QObject::connect(job, &QKeychain::Job::finished, job,
                         [done](QKeychain::Job* j) { done(StatusOf(*j)); });
        job->start();
    }
    void Remove(const std::string& key, WriteDone done) override {
        if (KeyringDisabled()) return done(Status::Unavailable);
        auto* job = new QKeychain::DeletePasswordJob(Service);
        job->setAutoDelete(true);
        job->setKey(QString::fromStdString(key));
        QObject::connect(job, &QKeychain::Job::finished, job,
                         [done](QKeychain::Job* j) { done(StatusOf(*j)); });
        job->start();
    }
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Fail(std::string* failure, const std::string& what) {
    if (failure) *failure = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

std::unique_ptr<IKeyring> MakeDesktopKeyring() {
    return std::make_unique<DesktopKeyring>();
}

CPasswordStore::CPasswordStore(const std::string& configPath, std::unique_ptr<IKeyring> keyring,
                               QObject* parent)
    : QObject(parent),
      key_(configPath),
      filePath_(configPath + ".secret"),
      keyring_(std::move(keyring)) {
    keyringTimer_ = new QTimer(this);
    keyringTimer_->setSingleShot(true);
    keyringTimer_->setInterval(KeyringWaitMs);
    connect(keyringTimer_, &QTimer::timeout, this,
            [this] { FinishLoad(IKeyring::Status::Unavailable, {}); });
}

CPasswordStore::~CPasswordStore() = default;

void CPasswordStore::SetKeyringWaitMs(int ms) {
    keyringTimer_->setInterval(ms);
}

void CPasswordStore::Load() {
    if (loading_) return;
    if (ready_) {
        emit Loaded();
        return;
    }
    loading_ = true;
    const unsigned round = ++loadRound_;
    keyringTimer_->start();
    // The keyring may answer after this store is gone (the program ending while it waits).
    keyring_->Read(key_, [self = QPointer<CPasswordStore>(this), round](IKeyring::Status status,
                                                                        const std::string& secret) {
        if (self && round == self->loadRound_ && self->loading_) self->FinishLoad(status, secret);
    });
}

void CPasswordStore::FinishLoad(IKeyring::Status status, const std::string& secret) {
    keyringTimer_->stop();
    loading_ = false;
    ready_ = true;
    std::string fromFile;
    std::string refusal;
    if (status == IKeyring::Status::Done) {
        password_.Assign(secret);
        SetPlace(Place::Keyring);
    } else if (ReadFile(filePath_, fromFile, &refusal)) {
        // Also when the keyring works but holds nothing: the administrator's file is meant.
        password_.Assign(fromFile);
        SetPlace(Place::File);
    } else {
        password_.Clear();
        SetPlace(status == IKeyring::Status::NotFound ? Place::Keyring : Place::File, refusal);
    }
    WipeString(fromFile);
    emit Loaded();
}

void CPasswordStore::Save(const std::string& password) {
    ++loadRound_;  // whatever a read still under way brings is older than this
    loading_ = false;
    keyringTimer_->stop();
    password_.Assign(password);
    ready_ = true;
    const auto toFile = [this](const std::string& secret) {
        std::string failure;
        bool ok = true;
        if (secret.empty()) {
            ok = unlink(filePath_.c_str()) == 0 || errno == ENOENT || Fail(&failure, filePath_);
        } else {
            ok = WriteFile(filePath_, secret, &failure);
        }
        SetPlace(Place::File);
        emit Saved(ok, QString::fromStdString(failure));
    };
    const CSmtpSecret copy(password);
    const auto done = [self = QPointer<CPasswordStore>(this), this, copy,
                       toFile](IKeyring::Status status) {
        if (!self) return;  // the keyring answered after the store was gone
        if (status != IKeyring::Status::Done && status != IKeyring::Status::NotFound) {
            return toFile(std::string(copy.View()));
        }
        // The keyring holds it now: a file left from a time without one would be read the
        // next time the keyring is away, with a password that is no longer right.
        unlink(filePath_.c_str());
        SetPlace(Place::Keyring);
        emit Saved(true, {});
    };
    if (password.empty()) {
        keyring_->Remove(key_, done);
    } else {
        keyring_->Write(key_, password, done);
    }
}

void CPasswordStore::SetPlace(Place place, const std::string& fileRefusal) {
    if (place == place_ && fileRefusal == fileRefusal_) return;
    place_ = place;
    fileRefusal_ = fileRefusal;
    emit PlaceKnown();
}

std::string CPasswordStore::PlaceText() const {
    if (!fileRefusal_.empty()) {
        return "The e-mail password file \"" + filePath_ + "\" is not used: " + fileRefusal_ + ".";
    }
    switch (place_) {
        case Place::Keyring:
            return "The e-mail password is kept in the desktop keyring.";
        case Place::File:
            return "No desktop keyring is available: the e-mail password is kept in the file \"" +
                   filePath_ + "\", which only this user can read.";
        case Place::Unknown:
            break;
    }
    return {};
}

bool CPasswordStore::ReadFile(const std::string& path, std::string& password,
                              std::string* refusal) {
    std::string why;
    const int fd = OpenOwnPrivateFile(path, why);
    if (refusal) *refusal = why;
    if (fd < 0) return false;
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    }
    std::memset(buffer, 0, sizeof buffer);
    close(fd);
    // One final line end, as an editor leaves it, is not part of the password.
    if (text.ends_with("\r\n")) {
        text.resize(text.size() - 2);
    } else if (text.ends_with('\n')) {
        text.pop_back();
    }
    WipeString(password);
    password = std::move(text);
    return true;
}

bool CPasswordStore::WriteFile(const std::string& path, std::string_view password,
                               std::string* failure) {
    // mkstemp makes the file with mode 0600: the password is never readable by others, not
    // even for a moment. The rename puts it in place whole or not at all.
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return Fail(failure, "cannot create a file in " + FolderOf(path));
    bool ok = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    for (std::string_view rest = password; ok && !rest.empty();) {
        const ssize_t n = write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        errno = error;
        return Fail(failure, "cannot write " + path);
    }
    const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}
