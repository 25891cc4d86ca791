#include "keychain.h"

#include "files.h"
#include "glib_wait.h"

#include <libsecret/secret.h>

#include <mutex>

namespace cordavelle {

namespace {

const SecretSchema *schema()
{
    static const SecretSchema s = {
        "com.cordavelle.helper.GenericPassword",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

int statusOf(GError *error)
{
    if (!error) {
        return Keychain::kSuccess;
    }
    int status = Keychain::kNotAvailable;
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
        status = Keychain::kLocked;
    } else if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)
               || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        status = Keychain::kTimedOut;
    }
    g_error_free(error);
    return status;
}

// Descriptors that making the first connection to the session bus takes (its socket, GLib's
// worker, a wait of its own), with room to spare.
constexpr int kSpareDescriptorsForBus = 16;

// The context on which a thread waits for the Secret Service's answers, made at its first
// question and kept for the thread's life. GLib's blocking calls make a new one per call, whose
// descriptors it can't do without: it ends the process when they run out. Null while too few
// descriptors are left to make it.
GMainContext *threadContext()
{
    thread_local struct Held {
        GMainContext *context = nullptr;
        ~Held()
        {
            if (context) {
                g_main_context_unref(context);
            }
        }
    } held;
    if (!held.context && haveSpareDescriptors(kSpareDescriptorsForBus)) {
        held.context = g_main_context_new();
    }
    return held.context;
}

// What a call that could not even be made reports.
GError *noDescriptors()
{
    return g_error_new_literal(G_IO_ERROR, G_IO_ERROR_TOO_MANY_OPEN_FILES, "too few descriptors are left to ask the Secret Service");
}

// Why a wait ended without the call's result.
GError *notEnded(bool cancelled)
{
    return cancelled ? g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "the call to the Secret Service was given up")
                     : noDescriptors();
}

// The Secret Service, but never prompting: an item that only a prompt (an unlock) could reach
// fails as locked at once. No call here may wait for the user, and libsecret never ends a call
// whose prompt is dismissed, as one cancelled past its time limit is.
struct NoPromptService {
    SecretService parent;
};
struct NoPromptServiceClass {
    SecretServiceClass parent;
};

G_DEFINE_TYPE(NoPromptService, no_prompt_service, SECRET_TYPE_SERVICE)

GError *wouldPrompt()
{
    return g_error_new_literal(SECRET_ERROR, SECRET_ERROR_IS_LOCKED, "the item is locked and would need a prompt to unlock");
}

void no_prompt_service_init(NoPromptService *) {}

void no_prompt_service_class_init(NoPromptServiceClass *klass)
{
    klass->parent.prompt_sync = [](SecretService *, SecretPrompt *, GCancellable *, const GVariantType *,
                                   GError **error) -> GVariant * {
        g_propagate_error(error, wouldPrompt());
        return nullptr;
    };
    klass->parent.prompt_async = [](SecretService *self, SecretPrompt *, const GVariantType *, GCancellable *cancellable,
                                    GAsyncReadyCallback callback, gpointer data) {
        GTask *task = g_task_new(self, cancellable, callback, data);
        g_task_return_error(task, wouldPrompt());
        g_object_unref(task);
    };
    klass->parent.prompt_finish = [](SecretService *, GAsyncResult *result, GError **error) -> GVariant * {
        return static_cast<GVariant *>(g_task_propagate_pointer(G_TASK(result), error));
    };
}

std::mutex &busMutex()
{
    static std::mutex mutex;
    return mutex;
}

GDBusConnection *&heldBus()
{
    static GDBusConnection *bus = nullptr;
    return bus;
}

SecretService *&heldService()
{
    static SecretService *service = nullptr;
    return service;
}

void dropService()
{
    g_clear_object(&heldService());
}

// The keyring's process the held Secret Service's session was opened with.
QByteArray &sessionOwner()
{
    static QByteArray owner;
    return owner;
}

// Keeps the session bus's connection for the run once made: libsecret's objects share it while
// it is held, so asking again makes no new connection. False (and why) when it can't be had now.
bool holdBus(GError **error)
{
    GDBusConnection *&bus = heldBus();
    if (bus && !g_dbus_connection_is_closed(bus)) {
        return true;
    }
    if (bus) {
        g_object_unref(bus);
        bus = nullptr;
        dropService();
        sessionOwner().clear();
    }
    if (!haveSpareDescriptors(kSpareDescriptorsForBus)) {
        *error = noDescriptors();
        return false;
    }
    // Without a cancellable: waiting on one would take a descriptor of its own.
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (!bus) {
        return false;
    }
    // GLib hands out the closed connection again while anything still holds it; a proxy made on
    // it would fail at once, with criticals.
    if (g_dbus_connection_is_closed(bus)) {
        g_clear_object(&bus);
        *error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CLOSED, "the session bus's connection is closed");
        return false;
    }
    // The helper outlives a session bus that goes: by default GLib would end the process then.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return true;
}

SecretService *openService(GCancellable *cancellable, GError **error)
{
    bool cancelled = false;
    GAsyncResult *result = waitForCall(
        threadContext(), cancellable,
        [&](GAsyncReadyCallback ended, gpointer data) {
            secret_service_open(no_prompt_service_get_type(), nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable, ended,
                                data);
        },
        &cancelled);
    if (!result) {
        *error = notEnded(cancelled);
        return nullptr;
    }
    SecretService *service = secret_service_open_finish(result, error);
    g_object_unref(result);
    return service;
}

QByteArray nameOwner(SecretService *service)
{
    gchar *owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    const QByteArray name(owner ? owner : "");
    g_free(owner);
    return name;
}

// The Secret Service with a session open, over the held connection, kept between questions; made
// afresh once the keyring's process has changed (a session belongs to the process that opened it).
SecretService *currentService(GCancellable *cancellable, GError **error)
{
    const std::lock_guard lock(busMutex());
    if (!holdBus(error)) {
        return nullptr;
    }
    SecretService *&held = heldService();
    if (held) {
        const QByteArray owner = nameOwner(held);
        if (!owner.isEmpty() && owner == sessionOwner()) {
            return SECRET_SERVICE(g_object_ref(held));
        }
        dropService();
        sessionOwner().clear();
    }
    SecretService *service = openService(cancellable, error);
    if (!service) {
        return nullptr;
    }
    held = service;
    sessionOwner() = nameOwner(service);
    return SECRET_SERVICE(g_object_ref(service));
}

// Runs one of libsecret's calls on the current Secret Service: `start(service, callback, data)`,
// then `finish(service, result, &error)`. The error of what failed before the call is put in
// `error`.
template <typename Start, typename Finish>
auto call(GCancellable *cancellable, GError **error, Start start, Finish finish)
    -> decltype(finish(nullptr, nullptr, error))
{
    using Result = decltype(finish(nullptr, nullptr, error));
    if (g_cancellable_set_error_if_cancelled(cancellable, error)) {
        return Result{};
    }
    SecretService *service = currentService(cancellable, error);
    if (!service) {
        return Result{};
    }
    bool cancelled = false;
    GAsyncResult *result = waitForCall(
        threadContext(), cancellable,
        [&](GAsyncReadyCallback ended, gpointer data) { start(service, ended, data); }, &cancelled);
    if (!result) {
        g_object_unref(service);
        *error = notEnded(cancelled);
        return Result{};
    }
    Result value = finish(service, result, error);
    g_object_unref(result);
    g_object_unref(service);
    return value;
}

// The attributes of the items of `service`, or of its one item for `account`.
GHashTable *attributesOf(const QByteArray &service, const QByteArray *account)
{
    if (account) {
        return secret_attributes_build(schema(), "service", service.constData(), "account", account->constData(),
                                       nullptr);
    }
    return secret_attributes_build(schema(), "service", service.constData(), nullptr);
}

GList *search(GCancellable *cancellable, const QByteArray &service, const QByteArray *account, GError **error)
{
    GHashTable *attributes = attributesOf(service, account);
    GList *items = call(
        cancellable, error,
        [&](SecretService *secrets, GAsyncReadyCallback ended, gpointer data) {
            secret_service_search(secrets, schema(), attributes, SECRET_SEARCH_ALL, cancellable, ended, data);
        },
        [](SecretService *secrets, GAsyncResult *result, GError **e) {
            return secret_service_search_finish(secrets, result, e);
        });
    g_hash_table_unref(attributes);
    return items;
}

int countItems(GCancellable *cancellable, const QByteArray &service, const QByteArray *account, int *out)
{
    GError *error = nullptr;
    GList *items = search(cancellable, service, account, &error);
    const int n = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    if (out) {
        *out = n;
    }
    if (error) {
        return statusOf(error);
    }
    return n == 0 ? Keychain::kItemNotFound : Keychain::kSuccess;
}

// Says why no item can be stored: glib's message when there is one, else `fallback`. Frees `error`.
bool unavailable(QString *why, GError *error, const QString &fallback)
{
    if (why) {
        *why = error ? QString::fromUtf8(error->message) : fallback;
    }
    if (error) {
        g_error_free(error);
    }
    return false;
}

} // namespace

struct SecretServiceKeychain::Cancellable {
    GCancellable *handle = g_cancellable_new();
    ~Cancellable() { g_object_unref(handle); }
};

SecretServiceKeychain::SecretServiceKeychain() : m_cancellable(std::make_unique<Cancellable>()) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

void SecretServiceKeychain::cancel() { g_cancellable_cancel(m_cancellable->handle); }

bool SecretServiceKeychain::isAvailable(QString *why) { return SecretServiceKeychain().isUsable(why); }

bool SecretServiceKeychain::isUsable(QString *why)
{
    GCancellable *cancellable = m_cancellable->handle;
    GError *error = nullptr;
    if (g_cancellable_set_error_if_cancelled(cancellable, &error)) {
        return unavailable(why, error, QString());
    }
    SecretService *service = currentService(cancellable, &error);
    if (!service) {
        return unavailable(why, error, QStringLiteral("no Secret Service"));
    }
    // A service that answers but has no unlocked default collection (a headless session that
    // activated the keyring without logging in) could only store after a password prompt. The
    // collection is asked for afresh each time, so that its lock is read as it is now.
    bool cancelled = false;
    GAsyncResult *result = waitForCall(
        threadContext(), cancellable,
        [&](GAsyncReadyCallback ended, gpointer data) {
            secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, ended,
                                        data);
        },
        &cancelled);
    g_object_unref(service);
    if (!result) {
        return unavailable(why, notEnded(cancelled), QString());
    }
    SecretCollection *collection = secret_collection_for_alias_finish(result, &error);
    g_object_unref(result);
    if (!collection) {
        return unavailable(why, error, QStringLiteral("the Secret Service has no default collection"));
    }
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) {
        return unavailable(why, nullptr, QStringLiteral("the default collection of the Secret Service is locked"));
    }
    return true;
}

int SecretServiceKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GCancellable *cancellable = m_cancellable->handle;
    int existing = 0;
    if (countItems(cancellable, s, &a, &existing) == kSuccess && existing > 0) {
        return kDuplicateItem;
    }
    SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
    GError *error = nullptr;
    const QByteArray label = (service + QLatin1Char('/') + account).toUtf8();
    GHashTable *attributes = attributesOf(s, &a);
    call(
        cancellable, &error,
        [&](SecretService *secrets, GAsyncReadyCallback ended, gpointer callData) {
            secret_service_store(secrets, schema(), attributes, SECRET_COLLECTION_DEFAULT, label.constData(), value,
                                 cancellable, ended, callData);
        },
        [](SecretService *secrets, GAsyncResult *result, GError **e) {
            return secret_service_store_finish(secrets, result, e);
        });
    g_hash_table_unref(attributes);
    secret_value_unref(value);
    return statusOf(error);
}

int SecretServiceKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GCancellable *cancellable = m_cancellable->handle;
    GError *error = nullptr;
    GHashTable *attributes = attributesOf(s, &a);
    SecretValue *value = call(
        cancellable, &error,
        [&](SecretService *secrets, GAsyncReadyCallback ended, gpointer callData) {
            secret_service_lookup(secrets, schema(), attributes, cancellable, ended, callData);
        },
        [](SecretService *secrets, GAsyncResult *result, GError **e) {
            return secret_service_lookup_finish(secrets, result, e);
        });
    g_hash_table_unref(attributes);
    if (error) {
        if (value) {
            secret_value_unref(value);
        }
        return statusOf(error);
    }
    if (!value) {
        return kItemNotFound;
    }
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    if (data) {
        *data = QByteArray(bytes, static_cast<qsizetype>(length));
    }
    secret_value_unref(value);
    return kSuccess;
}

namespace {

int clear(GCancellable *cancellable, const QByteArray &service, const QByteArray *account)
{
    GError *error = nullptr;
    GHashTable *attributes = attributesOf(service, account);
    const gboolean removed = call(
        cancellable, &error,
        [&](SecretService *secrets, GAsyncReadyCallback ended, gpointer data) {
            secret_service_clear(secrets, schema(), attributes, cancellable, ended, data);
        },
        [](SecretService *secrets, GAsyncResult *result, GError **e) {
            return secret_service_clear_finish(secrets, result, e);
        });
    g_hash_table_unref(attributes);
    if (error) {
        return statusOf(error);
    }
    return removed ? Keychain::kSuccess : Keychain::kItemNotFound;
}

} // namespace

int SecretServiceKeychain::remove(const QString &service, const QString &account)
{
    const QByteArray a = account.toUtf8();
    return clear(m_cancellable->handle, service.toUtf8(), &a);
}

int SecretServiceKeychain::count(const QString &service, int *count)
{
    return countItems(m_cancellable->handle, service.toUtf8(), nullptr, count);
}

int SecretServiceKeychain::removeAll(const QString &service) { return clear(m_cancellable->handle, service.toUtf8(), nullptr); }

int SecretServiceKeychain::accounts(const QString &service, QStringList *accounts)
{
    GError *error = nullptr;
    GList *items = search(m_cancellable->handle, service.toUtf8(), nullptr, &error);
    QStringList found;
    for (GList *item = items; item; item = item->next) {
        GHashTable *attributes = secret_retrievable_get_attributes(SECRET_RETRIEVABLE(item->data));
        if (const auto *account = static_cast<const char *>(g_hash_table_lookup(attributes, "account"))) {
            found << QString::fromUtf8(account);
        }
        g_hash_table_unref(attributes);
    }
    g_list_free_full(items, g_object_unref);
    if (error) {
        return statusOf(error);
    }
    if (accounts) {
        *accounts = found;
    }
    return found.isEmpty() ? kItemNotFound : kSuccess;
}

} // namespace cordavelle
