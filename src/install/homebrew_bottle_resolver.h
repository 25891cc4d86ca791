#pragma once

#include "platform/described_error.h"
#include "platform/http_client.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <exception>
#include <stop_token>

namespace cordavelle {

class BottleResolverError : public DescribedError {
public:
    enum class Case { malformedResponse, noBottleForCurrentArchitecture };

    static BottleResolverError malformedResponse();
    // `tag` is the bottle tag that was looked for ("x86_64_linux").
    static BottleResolverError noBottleForCurrentArchitecture(const QString &tag);

    Case errorCase() const { return m_case; }
    bool operator==(const BottleResolverError &other) const { return m_case == other.m_case; }

private:
    BottleResolverError(Case errorCase, QString description);

    Case m_case;
};

// A bottle whose SHA-256 is not the one its formula gives, or whose formula gives none.
class BottleDigestError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// One formula's bottle: the archive to fetch, the formula's stable version, and the SHA-256 the
// formula gives for the archive (lower-case hex; empty when it gives none).
struct BottleInfo {
    QUrl url;
    QString version;
    QString sha256 = {};

    bool operator==(const BottleInfo &) const = default;
};

// Homebrew's prebuilt packages (bottles) without Homebrew: which bottle of a formula fits this
// machine, and its fetching from the bottle registry. On Linux the one bottle that fits is the
// Linux bottle of the machine's architecture.
// What a failed read of a formula's document says before its reason, naming the formula and where
// it was read from.
QString formulaUnreadable(const QString &name, const QUrl &formula);

class HomebrewBottleResolver {
public:
    HomebrewBottleResolver() = delete;

    // The registry's anonymous token, sent as "Authorization: Bearer Tw==" with every bottle.
    static inline const QByteArray kRegistryToken = QByteArrayLiteral("Tw==");

    // The tag of the bottle for a machine of this architecture (as uname names it):
    // "x86_64_linux" on x86-64, "arm64_linux" on 64-bit ARM, "<machine>_linux" elsewhere.
    static QString bottleTag(const QString &machineArchitecture);

    // The bottle of `tag` in a formula's JSON document, and the formula's stable version
    // ("unknown" when the document has none). Throws JsonDecodeError for bytes that are not JSON,
    // BottleResolverError for any other shape.
    static BottleInfo parse(const QByteArray &data, const QString &tag);

    // Fetches a formula's document and parses it for the machine of `machineArchitecture`. An
    // answer outside 200–299 throws HttpStatusError naming the formula; otherwise throws what
    // `client` and `parse` throw, and HttpError for a bottle link that requireSecureLink() refuses.
    static QCoro::Task<BottleInfo> fetchBottleInfo(HttpClient &client, QUrl formula, QString machineArchitecture,
                                                   std::stop_token stop = {});
    // Downloads a bottle to `destination` (replacing any file there) with the registry's token,
    // and keeps it only when its SHA-256 is the one its formula gives. A refused bottle throws
    // HttpStatusError naming `what` ("the Hamlib bottle") and leaves no file; a bottle whose formula
    // gives no SHA-256, or one with another, throws BottleDigestError and leaves no file either;
    // otherwise throws what `client` throws. `progress` hears of every piece received.
    static QCoro::Task<void> downloadBottle(HttpClient &client, BottleInfo bottle, QString destination, QString what,
                                            std::stop_token stop = {}, DownloadProgress progress = {});
};

} // namespace cordavelle
