#pragma once

// Secrets kept outside the settings store: the desktop's keyring (the Secret Service, reached
// through QtKeychain), behind an interface so that tests can put a keyring of their own in
// its place.
//
// The program has one loop thread and must never turn a loop inside a protocol client or a
// monitor, so the keyring's asynchronous jobs run on a thread of their own with its own loop,
// and a caller waits for the answer with a bound: a keyring that never answers (an unlock
// prompt nobody sees, a bus that hangs) costs one bounded wait, and while that question is
// still unanswered every later one fails at once instead of queueing behind it.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace secrets {

enum class Outcome {
    kOk,
    kNotFound,   // the keyring answered: it holds no such item
    kNoKeyring,  // no Secret Service (no session bus, nothing registered)
    kNoAnswer,   // it did not answer within the wait, or an earlier question is still open
    kFailed,     // it answered with an error (a locked collection, access denied, ...)
};

struct Result {
    Outcome outcome = Outcome::kOk;
    std::string detail;  // in words, for a log record or a command line
    bool ok() const { return outcome == Outcome::kOk; }
};

class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual Result Read(const std::string& key, std::string* secret) = 0;
    virtual Result Write(const std::string& key, const std::string& secret) = 0;
    virtual Result Remove(const std::string& key) = 0;
    // Whether new secrets go here: a keyring answered a question (a probe or any other).
    virtual bool Available() const = 0;
    // Asks for an item nobody writes (one bounded wait): a keyring that answers "not found" is
    // there. Decides Available(); the reason when it is not goes to *why.
    virtual bool Probe(std::string* why) = 0;
};

// The keyring the program's readers and writers use; none (nullptr) until one is installed.
void Install(std::shared_ptr<SecretStore> store);
std::shared_ptr<SecretStore> Current();

// One question to a keyring, started on the keyring thread; done is called there once, or
// never (a keyring that does not answer).
class KeyringBackend {
public:
    enum Op { kRead, kWrite, kRemove };
    using Done = std::function<void(Result, std::string secret)>;
    virtual ~KeyringBackend() = default;
    virtual void Start(Op op, const std::string& key, const std::string& secret, Done done) = 0;
};

// A SecretStore over a backend that lives on a thread of its own.
class ThreadedKeyring final : public SecretStore {
public:
    using BackendMaker = std::function<std::unique_ptr<KeyringBackend>()>;
    // make is called on the keyring thread; wait bounds every question.
    ThreadedKeyring(BackendMaker make, std::chrono::milliseconds wait);
    ~ThreadedKeyring() override;
    ThreadedKeyring(const ThreadedKeyring&) = delete;
    ThreadedKeyring& operator=(const ThreadedKeyring&) = delete;

    Result Read(const std::string& key, std::string* secret) override;
    Result Write(const std::string& key, const std::string& secret) override;
    Result Remove(const std::string& key) override;
    bool Available() const override;
    bool Probe(std::string* why) override;

private:
    struct Impl;
    Result Ask(KeyringBackend::Op op, const std::string& key, const std::string& secret,
               std::string* answer);
    std::unique_ptr<Impl> impl_;
};

// The desktop keyring through QtKeychain. QtKeychain runs its jobs one at a time on one
// object made by the first thread that uses it, so a process makes this once (after its Qt
// application) and ends it at exit.
std::shared_ptr<ThreadedKeyring> DesktopKeyring(
    std::chrono::milliseconds wait = std::chrono::seconds(5));

}  // namespace secrets
