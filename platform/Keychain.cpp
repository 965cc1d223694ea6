// Generic passwords in the Secret Service through libsecret's synchronous API.
//
// Every call runs its libsecret work on a worker thread, one call at a time,
// and waits for it with a deadline: a service that does not answer (or a
// session bus that is stuck) cancels the work and gives errSecNotAvailable
// instead of hanging the caller. Nothing here ever unlocks: no call asks for
// an unlock, and the locked state is checked before every read, write and
// delete, so a service that would answer a locked item with an unlock prompt
// is never given the chance.
//
// For secret_item_new_for_dbus_path_sync (item references are object paths).
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include "platform/Keychain.h"

// Before any Qt header: GLib has struct fields named "signals".
#include <libsecret/secret.h>

#include "platform/TextEncoding.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

struct OpaqueSecKeychainItemRef {
    std::string service; // Mac Roman, as the item's attributes give them
    std::string account;
    std::string path; // the item's object path in the Secret Service
};

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 5s;
// After cancelling, how long to let the worker wind down before leaving it.
constexpr auto kCancelGrace = 1s;

template <class T> struct GObjectUnref {
    void operator()(T* object) const { g_object_unref(object); }
};
template <class T> using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GHashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableUnref>;

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

const SecretSchema* Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "com.brisk-alder.Loftwise.GenericPassword";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// What a worker hands back to its caller.
struct Outcome {
    OSStatus status = noErr;
    std::string why; // for the standard-error line when status is a failure
    std::string password;
    std::optional<OpaqueSecKeychainItemRef> item;
};

Outcome Failure(OSStatus status, std::string why) {
    Outcome out;
    out.status = status;
    out.why = std::move(why);
    return out;
}

// One line, whatever the service put into its message.
std::string OneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

Outcome FromError(const GError* error, const char* doing) {
    const std::string why = std::string(doing) + ": " + OneLine(error ? error->message : "");
    if (!error) return Failure(errSecNotAvailable, why);
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return Failure(errSecInteractionNotAllowed, why);
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return Failure(errSecItemNotFound, why);
        case SECRET_ERROR_ALREADY_EXISTS:
            return Failure(errSecDuplicateItem, why);
        default:
            break;
        }
    }
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_AUTH_FAILED))
        return Failure(errSecAuthFailed, why);
    return Failure(errSecNotAvailable, why);
}

// Mac Roman bytes to the UTF-8 of an attribute, and back.
std::string AttributeText(std::string_view macRoman) {
    return plat::MacRomanToQString(macRoman).toStdString();
}

std::optional<std::string> MacRomanFromAttribute(const char* utf8) {
    if (!utf8) return std::nullopt;
    return plat::QStringToMacRoman(QString::fromUtf8(utf8));
}

// Serialises the workers: libsecret's service object and its session are
// shared, and a duplicate check followed by a create must not interleave.
// Never destroyed, so a worker left running at exit finds it intact.
std::mutex& ServiceMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

// Guarded by ServiceMutex.
GDBusConnection* gBus = nullptr;

// Without a bus address GLib would try to autolaunch a bus through X11;
// a keychain lookup should not start daemons, so that case is refused here.
bool SessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    struct stat st {};
    return stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The shared service proxy with an open transfer session. Called with
// ServiceMutex held.
GObjectPtr<SecretService> ConnectService(GCancellable* cancel, Outcome& failure) {
    if (gBus && g_dbus_connection_is_closed(gBus)) {
        // The bus went away (and perhaps came back): start over with new objects.
        secret_service_disconnect();
        g_object_unref(gBus);
        gBus = nullptr;
    }
    if (!gBus) {
        if (!SessionBusConfigured()) {
            failure =
                Failure(errSecNotAvailable,
                        "there is no D-Bus session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
            return nullptr;
        }
        GError* raw = nullptr;
        gBus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancel, &raw);
        GErrorPtr error(raw);
        if (!gBus) {
            failure = FromError(error.get(), "cannot connect to the D-Bus session bus");
            return nullptr;
        }
        // The default ends the process when the bus closes; a lost keychain is
        // an error status here, not a reason to quit.
        g_dbus_connection_set_exit_on_close(gBus, FALSE);
    }
    GError* raw = nullptr;
    GObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancel, &raw));
    GErrorPtr error(raw);
    if (!service) failure = FromError(error.get(), "the Secret Service is not answering");
    return service;
}

// Attributes for a search or an item; empty names are left out of a search
// (they match anything).
GHashTablePtr Attributes(const std::string& service, const std::string& account, bool forSearch) {
    GHashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
    if (!forSearch || !service.empty())
        g_hash_table_insert(table.get(), const_cast<char*>("service"),
                            const_cast<char*>(service.c_str()));
    if (!forSearch || !account.empty())
        g_hash_table_insert(table.get(), const_cast<char*>("account"),
                            const_cast<char*>(account.c_str()));
    return table;
}

// The first matching item, unlocked ones first; null with failure set when the
// search itself fails, null with noErr when nothing matches.
GObjectPtr<SecretItem> FindItem(SecretService* service, const std::string& serviceName,
                                const std::string& accountName, GCancellable* cancel,
                                Outcome& failure) {
    GHashTablePtr attributes = Attributes(serviceName, accountName, true);
    GError* raw = nullptr;
    GList* found = secret_service_search_sync(service, Schema(), attributes.get(),
                                              SECRET_SEARCH_NONE, cancel, &raw);
    GErrorPtr error(raw);
    if (error) {
        failure = FromError(error.get(), "searching the keychain failed");
        return nullptr;
    }
    GObjectPtr<SecretItem> first;
    if (found) first.reset(SECRET_ITEM(g_object_ref(found->data)));
    g_list_free_full(found, g_object_unref);
    return first;
}

// What a found item is called; names Mac Roman cannot spell (another program
// may have stored them) keep the ones that were asked for.
OpaqueSecKeychainItemRef ItemReference(SecretItem* item, const std::string& service,
                                       const std::string& account) {
    OpaqueSecKeychainItemRef ref;
    ref.path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
    GHashTablePtr attributes(secret_item_get_attributes(item));
    auto text = [&](const char* key, const std::string& fallback) {
        const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes.get(), key));
        return MacRomanFromAttribute(value).value_or(fallback);
    };
    ref.service = text("service", service);
    ref.account = text("account", account);
    return ref;
}

// The names come in as Mac Roman; the attributes are their UTF-8.
Outcome FindWork(const std::string& macService, const std::string& macAccount, bool wantPassword,
                 GCancellable* cancel) {
    Outcome out;
    GObjectPtr<SecretService> service = ConnectService(cancel, out);
    if (!service) return out;
    GObjectPtr<SecretItem> item =
        FindItem(service.get(), AttributeText(macService), AttributeText(macAccount), cancel, out);
    if (!item) {
        if (out.status == noErr) out.status = errSecItemNotFound;
        return out;
    }
    if (secret_item_get_locked(item.get()))
        return Failure(errSecInteractionNotAllowed,
                       "the item's collection is locked (it is never unlocked without the user)");
    if (wantPassword) {
        GError* raw = nullptr;
        const bool loaded = secret_item_load_secret_sync(item.get(), cancel, &raw);
        GErrorPtr error(raw);
        if (!loaded) return FromError(error.get(), "reading the password failed");
        SecretValuePtr value(secret_item_get_secret(item.get()));
        if (!value) return Failure(errSecNotAvailable, "the Secret Service returned no password");
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        out.password.assign(bytes, length);
    }
    out.item = ItemReference(item.get(), macService, macAccount);
    return out;
}

Outcome AddWork(const std::string& macService, const std::string& macAccount,
                const std::string& password, GCancellable* cancel) {
    const std::string serviceName = AttributeText(macService);
    const std::string accountName = AttributeText(macAccount);
    Outcome out;
    GObjectPtr<SecretService> service = ConnectService(cancel, out);
    if (!service) return out;

    GError* raw = nullptr;
    GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancel, &raw));
    GErrorPtr error(raw);
    if (error) return FromError(error.get(), "finding the default collection failed");
    if (!collection)
        return Failure(errSecNoDefaultKeychain,
                       "the Secret Service has no default collection to store passwords in");
    if (secret_collection_get_locked(collection.get()))
        return Failure(errSecInteractionNotAllowed,
                       "the default collection is locked (it is never unlocked without the user)");

    GObjectPtr<SecretItem> existing =
        FindItem(service.get(), serviceName, accountName, cancel, out);
    if (out.status != noErr) return out;
    if (existing) return Failure(errSecDuplicateItem, {});

    // Text passwords are marked as text so that other tools show them; any
    // other bytes go in as they are.
    const bool text = password.find('\0') == std::string::npos &&
                      g_utf8_validate(password.data(), gssize(password.size()), nullptr);
    SecretValuePtr value(secret_value_new(password.data(), gssize(password.size()),
                                          text ? "text/plain" : "application/octet-stream"));
    GHashTablePtr attributes = Attributes(serviceName, accountName, false);
    const std::string label = serviceName.empty() ? accountName : serviceName + ": " + accountName;
    if (g_cancellable_is_cancelled(cancel)) return Failure(errSecNotAvailable, "cancelled");
    GObjectPtr<SecretItem> item(
        secret_item_create_sync(collection.get(), Schema(), attributes.get(), label.c_str(),
                                value.get(), SECRET_ITEM_CREATE_NONE, cancel, &raw));
    error.reset(raw);
    if (!item) return FromError(error.get(), "storing the password failed");
    out.item = OpaqueSecKeychainItemRef{macService, macAccount,
                                        g_dbus_proxy_get_object_path(G_DBUS_PROXY(item.get()))};
    return out;
}

Outcome DeleteWork(const std::string& path, GCancellable* cancel) {
    Outcome out;
    GObjectPtr<SecretService> service = ConnectService(cancel, out);
    if (!service) return out;
    // A fresh proxy, so that its locked state is the service's current one.
    GError* raw = nullptr;
    GObjectPtr<SecretItem> item(secret_item_new_for_dbus_path_sync(service.get(), path.c_str(),
                                                                   SECRET_ITEM_NONE, cancel, &raw));
    GErrorPtr error(raw);
    if (!item) {
        if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
            return FromError(error.get(), "deleting the item failed");
        return Failure(errSecInvalidItemRef, "the item no longer exists");
    }
    if (secret_item_get_locked(item.get()))
        return Failure(errSecInteractionNotAllowed,
                       "the item's collection is locked (it is never unlocked without the user)");
    if (!secret_item_delete_sync(item.get(), cancel, &raw)) {
        error.reset(raw);
        return FromError(error.get(), "deleting the item failed");
    }
    return out;
}

struct Job {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    Outcome outcome;
    GCancellable* cancel = g_cancellable_new();
    ~Job() { g_object_unref(cancel); }
};

// Runs work on a worker thread and waits at most kDeadline for it.
Outcome RunBounded(std::function<Outcome(GCancellable*)> work) {
    auto job = std::make_shared<Job>();
    try {
        std::thread([job, work = std::move(work)] {
            Outcome outcome;
            {
                std::lock_guard serial(ServiceMutex());
                // A caller that gave up while this waited for its turn wants nothing done.
                outcome = g_cancellable_is_cancelled(job->cancel)
                              ? Failure(errSecNotAvailable, "cancelled")
                              : work(job->cancel);
                // A service that failed may come back as a new process whose
                // session the cached proxy does not have: connect anew next time.
                if (outcome.status == errSecNotAvailable) secret_service_disconnect();
            }
            std::lock_guard lock(job->mutex);
            job->outcome = std::move(outcome);
            job->done = true;
            job->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Failure(errSecNotAvailable, "no worker thread could be started");
    }
    std::unique_lock lock(job->mutex);
    if (job->finished.wait_for(lock, kDeadline, [&] { return job->done; }))
        return std::move(job->outcome);
    lock.unlock();
    g_cancellable_cancel(job->cancel);
    lock.lock();
    // Work that still got through (an item added at the last moment) is no failure.
    if (job->finished.wait_for(lock, kCancelGrace, [&] { return job->done; }) &&
        job->outcome.status == noErr)
        return std::move(job->outcome);
    return Failure(errSecNotAvailable, "the Secret Service did not answer within 5 seconds");
}

// The one standard-error line of a failed call. Not-found and duplicate are
// answers, not failures of the keychain.
void Report(OSStatus status, const std::string& why) {
    if (status == noErr || status == errSecItemNotFound || status == errSecDuplicateItem) return;
    std::string line;
    if (status == errSecNotAvailable)
        line = "Keychain unavailable: ";
    else if (status == errSecInteractionNotAllowed)
        line = "Keychain locked: ";
    else
        line = "Keychain error " + std::to_string(status) + ": ";
    line += why.empty() ? plat::KeychainStatusText(status) : OneLine(why);
    line += '\n';
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

OSStatus Finish(const Outcome& outcome) {
    Report(outcome.status, outcome.why);
    return outcome.status;
}

// The bytes a (length, pointer) pair names; nullopt when they cannot be one.
std::optional<std::string> Name(UInt32 length, const char* bytes) {
    if (length == 0) return std::string();
    if (!bytes) return std::nullopt;
    std::string name(bytes, length);
    // Attributes are C strings on the bus.
    if (name.find('\0') != std::string::npos) return std::nullopt;
    return name;
}

} // namespace

void SecKeychainItemRelease(SecKeychainItemRef item) {
    delete item;
}

OSStatus SecKeychainFindGenericPassword(const void* keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength,
                                        const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef) {
    if (passwordLength) *passwordLength = 0;
    if (passwordData) *passwordData = nullptr;
    if (itemRef) *itemRef = nullptr;
    const auto service = Name(serviceNameLength, serviceName);
    const auto account = Name(accountNameLength, accountName);
    if (keychainOrArray || !service || !account)
        return Finish(Failure(paramErr, "a keychain, service or account argument is not valid"));

    const bool wantPassword = passwordLength || passwordData;
    Outcome outcome =
        RunBounded([service = *service, account = *account, wantPassword](GCancellable* cancel) {
            return FindWork(service, account, wantPassword, cancel);
        });
    if (outcome.status != noErr) return Finish(outcome);

    if (passwordData) {
        auto* data = static_cast<char*>(std::malloc(outcome.password.size() + 1));
        if (!data) return Finish(Failure(memFullErr, "no memory for the password"));
        std::memcpy(data, outcome.password.data(), outcome.password.size());
        data[outcome.password.size()] = 0;
        *passwordData = data;
    }
    if (passwordLength) *passwordLength = UInt32(outcome.password.size());
    if (itemRef && outcome.item) *itemRef = new OpaqueSecKeychainItemRef(std::move(*outcome.item));
    return noErr;
}

OSStatus SecKeychainItemFreeContent(void* /*attrList*/, void* data) {
    std::free(data);
    return noErr;
}

OSStatus SecKeychainItemDelete(SecKeychainItemRef item) {
    if (!item) return Finish(Failure(paramErr, "no item to delete"));
    return Finish(
        RunBounded([path = item->path](GCancellable* cancel) { return DeleteWork(path, cancel); }));
}

OSStatus SecKeychainAddGenericPassword(void* keychain, UInt32 serviceNameLength,
                                       const char* serviceName, UInt32 accountNameLength,
                                       const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef) {
    if (itemRef) *itemRef = nullptr;
    const auto service = Name(serviceNameLength, serviceName);
    const auto account = Name(accountNameLength, accountName);
    if (keychain || !service || !account || (passwordLength && !passwordData))
        return Finish(
            Failure(paramErr, "a keychain, service, account or password argument is not valid"));
    std::string password;
    if (passwordLength) password.assign(static_cast<const char*>(passwordData), passwordLength);

    Outcome outcome = RunBounded([service = *service, account = *account,
                                  password = std::move(password)](GCancellable* cancel) {
        return AddWork(service, account, password, cancel);
    });
    if (outcome.status != noErr) return Finish(outcome);
    if (itemRef && outcome.item) *itemRef = new OpaqueSecKeychainItemRef(std::move(*outcome.item));
    return noErr;
}

namespace plat {

std::string KeychainStatusText(OSStatus status) {
    switch (status) {
    case noErr:
        return "No error.";
    case errSecItemNotFound:
        return "The item could not be found in the keychain.";
    case errSecDuplicateItem:
        return "The item already exists in the keychain.";
    case errSecNotAvailable:
        return "No keychain is available: the Secret Service is not running or did not answer.";
    case errSecInteractionNotAllowed:
        return "The keychain is locked, and it is not unlocked without asking the user.";
    case errSecAuthFailed:
        return "The Secret Service refused access to the keychain.";
    case errSecNoDefaultKeychain:
        return "There is no default keychain to store passwords in.";
    case errSecInvalidItemRef:
        return "The keychain item no longer exists.";
    case paramErr:
        return "A keychain function was given an invalid argument.";
    case memFullErr:
        return "Not enough memory for the keychain operation.";
    default:
        return "Keychain error " + std::to_string(status) + ".";
    }
}

std::string KeychainItemService(SecKeychainItemRef item) {
    return item ? item->service : std::string();
}
std::string KeychainItemAccount(SecKeychainItemRef item) {
    return item ? item->account : std::string();
}

} // namespace plat
