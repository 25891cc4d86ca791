#include "keychain.h"

#include "files.h"

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
constexpr int kSpareDescriptors = 16;

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
    if (!held.context && haveSpareDescriptors(kSpareDescriptors)) {
        held.context = g_main_context_new();
    }
    return held.context;
}

// Starts an asynchronous call with `start(callback, data)` and waits on the thread's context for
// its end; its result, or null when no context could be had.
template <typename Start>
GAsyncResult *waitFor(Start start)
{
    GMainContext *context = threadContext();
    if (!context) {
        return nullptr;
    }
    GAsyncResult *result = nullptr;
    g_main_context_push_thread_default(context);
    start(+[](GObject *, GAsyncResult *ended, gpointer data) {
        *static_cast<GAsyncResult **>(data) = G_ASYNC_RESULT(g_object_ref(ended));
    }, &result);
    while (!result) {
        g_main_context_iteration(context, TRUE);
    }
    g_main_context_pop_thread_default(context);
    return result;
}

// What a call that could not even be made reports.
GError *noDescriptors()
{
    return g_error_new_literal(G_IO_ERROR, G_IO_ERROR_TOO_MANY_OPEN_FILES, "too few descriptors are left to ask the Secret Service");
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

// The keyring's process the cached Secret Service's session was opened with.
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
        secret_service_disconnect();
        sessionOwner().clear();
    }
    if (!haveSpareDescriptors(kSpareDescriptors)) {
        *error = noDescriptors();
        return false;
    }
    // Without a cancellable: waiting on one would take a descriptor of its own.
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (!bus) {
        return false;
    }
    // The helper outlives a session bus that goes: by default GLib would end the process then.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return true;
}

SecretService *getService(GCancellable *cancellable, GError **error)
{
    GAsyncResult *result = waitFor([&](GAsyncReadyCallback ended, gpointer data) {
        secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, ended, data);
    });
    if (!result) {
        *error = noDescriptors();
        return nullptr;
    }
    SecretService *service = secret_service_get_finish(result, error);
    g_object_unref(result);
    return service;
}

// The Secret Service with a session open, over the held connection, kept between questions; made
// afresh once the keyring's process has changed (a session belongs to the process that opened it).
SecretService *currentService(GCancellable *cancellable, GError **error)
{
    const std::lock_guard lock(busMutex());
    if (!holdBus(error)) {
        return nullptr;
    }
    SecretService *service = getService(cancellable, error);
    if (!service) {
        return nullptr;
    }
    gchar *owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    const QByteArray now(owner ? owner : "");
    g_free(owner);
    if (!sessionOwner().isEmpty() && now != sessionOwner()) {
        g_object_unref(service);
        secret_service_disconnect();
        service = getService(cancellable, error);
        if (!service) {
            sessionOwner().clear();
            return nullptr;
        }
        owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
        sessionOwner() = owner ? owner : "";
        g_free(owner);
    } else {
        sessionOwner() = now;
    }
    return service;
}

// Runs one of libsecret's calls on the current Secret Service: `start(callback, data)`, then
// `finish(result, &error)`. The error of what failed before the call is put in `error`.
template <typename Start, typename Finish>
auto call(GCancellable *cancellable, GError **error, Start start, Finish finish) -> decltype(finish(nullptr, error))
{
    using Result = decltype(finish(nullptr, error));
    if (g_cancellable_set_error_if_cancelled(cancellable, error)) {
        return Result{};
    }
    SecretService *service = currentService(cancellable, error);
    if (!service) {
        return Result{};
    }
    // The simple calls below find the cached service themselves; it is held meanwhile.
    GAsyncResult *result = waitFor(start);
    g_object_unref(service);
    if (!result) {
        *error = noDescriptors();
        return Result{};
    }
    Result value = finish(result, error);
    g_object_unref(result);
    return value;
}

GList *search(GCancellable *cancellable, const QByteArray &service, const QByteArray *account, GError **error)
{
    return call(
        cancellable, error,
        [&](GAsyncReadyCallback ended, gpointer data) {
            if (account) {
                secret_password_search(schema(), SECRET_SEARCH_ALL, cancellable, ended, data, "service",
                                       service.constData(), "account", account->constData(), nullptr);
            } else {
                secret_password_search(schema(), SECRET_SEARCH_ALL, cancellable, ended, data, "service",
                                       service.constData(), nullptr);
            }
        },
        [](GAsyncResult *result, GError **e) { return secret_password_search_finish(result, e); });
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

bool SecretServiceKeychain::isCancelled() const { return g_cancellable_is_cancelled(m_cancellable->handle); }

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
    GAsyncResult *result = waitFor([&](GAsyncReadyCallback ended, gpointer data) {
        secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, ended, data);
    });
    g_object_unref(service);
    if (!result) {
        return unavailable(why, noDescriptors(), QString());
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
    call(
        cancellable, &error,
        [&](GAsyncReadyCallback ended, gpointer callData) {
            secret_password_store_binary(schema(), SECRET_COLLECTION_DEFAULT, label.constData(), value, cancellable,
                                         ended, callData, "service", s.constData(), "account", a.constData(), nullptr);
        },
        [](GAsyncResult *result, GError **e) { return secret_password_store_finish(result, e); });
    secret_value_unref(value);
    return statusOf(error);
}

int SecretServiceKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GCancellable *cancellable = m_cancellable->handle;
    GError *error = nullptr;
    SecretValue *value = call(
        cancellable, &error,
        [&](GAsyncReadyCallback ended, gpointer callData) {
            secret_password_lookup(schema(), cancellable, ended, callData, "service", s.constData(), "account",
                                   a.constData(), nullptr);
        },
        [](GAsyncResult *result, GError **e) { return secret_password_lookup_binary_finish(result, e); });
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
    const gboolean removed = call(
        cancellable, &error,
        [&](GAsyncReadyCallback ended, gpointer data) {
            if (account) {
                secret_password_clear(schema(), cancellable, ended, data, "service", service.constData(), "account",
                                      account->constData(), nullptr);
            } else {
                secret_password_clear(schema(), cancellable, ended, data, "service", service.constData(), nullptr);
            }
        },
        [](GAsyncResult *result, GError **e) { return secret_password_clear_finish(result, e); });
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
