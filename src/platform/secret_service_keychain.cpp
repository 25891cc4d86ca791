#include "keychain.h"

#include <libsecret/secret.h>

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

int countItems(GCancellable *cancellable, const QByteArray &service, const QByteArray *account, int *out)
{
    GError *error = nullptr;
    GList *items = account
                       ? secret_password_search_sync(schema(), SECRET_SEARCH_ALL, cancellable, &error, "service",
                                                     service.constData(), "account", account->constData(), nullptr)
                       : secret_password_search_sync(schema(), SECRET_SEARCH_ALL, cancellable, &error, "service",
                                                     service.constData(), nullptr);
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
    // The connection kept from an earlier question may lead to a keyring that has gone since, or
    // to one that was still locked: each question starts afresh.
    secret_service_disconnect();
    GError *error = nullptr;
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, &error);
    if (!service) {
        return unavailable(why, error, QStringLiteral("no Secret Service"));
    }
    // A service that answers but has no unlocked default collection (a headless session that
    // activated the keyring without logging in) could only store after a password prompt.
    SecretCollection *collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &error);
    g_object_unref(service);
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
    int existing = 0;
    if (countItems(m_cancellable->handle, s, &a, &existing) == kSuccess && existing > 0) {
        return kDuplicateItem;
    }
    SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
    GError *error = nullptr;
    const QByteArray label = (service + QLatin1Char('/') + account).toUtf8();
    secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(), value, m_cancellable->handle,
                                      &error, "service", s.constData(), "account", a.constData(), nullptr);
    secret_value_unref(value);
    return statusOf(error);
}

int SecretServiceKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GError *error = nullptr;
    SecretValue *value = secret_password_lookup_binary_sync(schema(), m_cancellable->handle, &error, "service", s.constData(),
                                                            "account", a.constData(), nullptr);
    if (error) {
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

int SecretServiceKeychain::remove(const QString &service, const QString &account)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GError *error = nullptr;
    const gboolean removed = secret_password_clear_sync(schema(), m_cancellable->handle, &error, "service", s.constData(),
                                                        "account", a.constData(), nullptr);
    if (error) {
        return statusOf(error);
    }
    return removed ? kSuccess : kItemNotFound;
}

int SecretServiceKeychain::count(const QString &service, int *count)
{
    return countItems(m_cancellable->handle, service.toUtf8(), nullptr, count);
}

int SecretServiceKeychain::removeAll(const QString &service)
{
    const QByteArray s = service.toUtf8();
    GError *error = nullptr;
    const gboolean removed = secret_password_clear_sync(schema(), m_cancellable->handle, &error, "service", s.constData(), nullptr);
    if (error) {
        return statusOf(error);
    }
    return removed ? kSuccess : kItemNotFound;
}

int SecretServiceKeychain::accounts(const QString &service, QStringList *accounts)
{
    const QByteArray s = service.toUtf8();
    GError *error = nullptr;
    GList *items = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, m_cancellable->handle, &error, "service", s.constData(),
                                               nullptr);
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
