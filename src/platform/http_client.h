#pragma once

#include "clock.h"
#include "described_error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

class QNetworkAccessManager;

namespace cordavelle {

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

struct HttpRequest {
    static constexpr std::chrono::milliseconds kDefaultTimeout{60000};

    HttpRequest() = default;
    HttpRequest(QUrl address, HttpHeaders sent = {}) : url(std::move(address)), headers(std::move(sent)) {}

    QUrl url;
    // Sent as given. An "Authorization" header goes only to the origin of `url`: it is dropped
    // when a redirect leads to another scheme, host or port.
    HttpHeaders headers;
    // How long the transfer may go without a byte arriving before it fails; none for the call's
    // own (HttpClient::kDocumentQuietLimit for a document, kDefaultTimeout for a download), zero
    // for no limit.
    std::optional<std::chrono::milliseconds> timeout;
    // How long the whole transfer may take, redirects included, before what came in the last
    // minute must keep a slow link's pace (DocumentPace); none for no limit. get() sets
    // kDocumentTimeLimit when none is given: a document is small, and a server that trickles it
    // would otherwise hold its reader for hours without ever going quiet.
    std::optional<std::chrono::milliseconds> limit;
    // How long the whole transfer may take at the most, whatever its pace; none for no ceiling.
    // get() sets kDocumentTimeCeiling when none is given, so that an update check that reads a
    // few documents one after another ends in minutes even against a server that keeps the pace.
    std::optional<std::chrono::milliseconds> ceiling;
    // The largest body get() keeps; none for HttpClient::kMaximumDocumentSize. A document's cap,
    // at the slowest pace a transfer may keep, also bounds how long it may take.
    std::optional<qint64> maximumSize;
};

// What the server answered, whatever its status: a 404 or an error page is a result, not a
// failure. Redirects have been followed; `url` is where the answer came from.
struct HttpResponse {
    int statusCode = 0;
    HttpHeaders headers;
    QUrl url;
    QByteArray body;

    // The first header of that name (case-insensitive); empty when there is none.
    QByteArray header(const QByteArray &name) const;
};

struct HttpDownload {
    int statusCode = 0;
    HttpHeaders headers;
    QUrl url;
    // Bytes written to the destination.
    qint64 size = 0;
};

// No answer: the connection failed, broke off, was refused by redirect rules, went quiet for
// longer than the request's time-out or fell behind a document's pace. `description()` is the text shown to the user.
class HttpError : public DescribedError {
public:
    enum class Kind { transport, timedOut };

    HttpError(Kind kind, QString description);

    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// A link taken from a remote document (a release's asset, a bottle, a download page's archive)
// is followed over HTTPS only; plain HTTP only when the document itself came over HTTP, as from
// a service configured so. Throws HttpError for any other link.
void requireSecureLink(const QUrl &link, const QUrl &document);

// Bytes received so far and the expected total, -1 when the server did not say.
using DownloadProgress = std::function<void(qint64 received, qint64 total)>;

// HTTP(S) GETs for the installers' remote services. Both calls run on the event loop without
// blocking it, follow redirects as soon as their target is known (a redirect's body is never
// read), and end with OperationCancelled once `stop` is requested.
class HttpClient {
public:
    static constexpr qint64 kMaximumDocumentSize = 8 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kDocumentTimeLimit{120000};
    static constexpr std::chrono::milliseconds kDocumentQuietLimit{30000};
    // Time for a whole release list or script at a slow link's pace.
    static constexpr std::chrono::milliseconds kDocumentTimeCeiling{600000};

    virtual ~HttpClient() = default;

    // The whole body in memory, up to the request's maximumSize: a larger one is a transport
    // error, since only downloads may be large and they go to disk. Without limits of its own the
    // request fails after kDocumentQuietLimit without a byte, past kDocumentTimeLimit once the
    // last minute fell behind a slow link's pace (HttpRequest::limit), and past
    // kDocumentTimeCeiling in any case. Throws HttpError or OperationCancelled.
    virtual QCoro::Task<HttpResponse> get(HttpRequest request, std::stop_token stop = {}) = 0;

    // The body written to `destination` as it arrives, replacing the file only once the whole
    // body is in: after a failure or a cancel, `destination` is as it was and nothing else is
    // left behind. `progress` is called on the event loop after each piece received. Throws
    // HttpError, FileError or OperationCancelled. A write that fails (a full disk) fails the
    // download; the download ends only once its file is closed and in place or removed.
    virtual QCoro::Task<HttpDownload> download(HttpRequest request, QString destination,
                                               DownloadProgress progress = {}, std::stop_token stop = {}) = 0;
};

// QNetworkAccessManager on the calling thread's event loop. Time-outs are measured on `clock`.
// A download's file is written, replaced and removed on a thread of its own, so that the disk
// never holds up the event loop; when the disk falls behind, the transfer waits for it.
class QtHttpClient final : public HttpClient {
public:
    explicit QtHttpClient(std::shared_ptr<Clock> clock);
    ~QtHttpClient() override;

    QCoro::Task<HttpResponse> get(HttpRequest request, std::stop_token stop = {}) override;
    QCoro::Task<HttpDownload> download(HttpRequest request, QString destination, DownloadProgress progress = {},
                                       std::stop_token stop = {}) override;

    static constexpr int kMaximumRedirects = 20;
    static constexpr qint64 kReadBufferSize = 1024 * 1024;

    // A download's pieces waiting for the disk; past this the transfer stops reading.
    static constexpr qint64 kMaxQueuedBytes = 16 * 1024 * 1024;

private:
    struct Answer;
    // Takes each piece of the final answer's body; false aborts the transfer.
    using ChunkSink = std::function<bool(const QByteArray &chunk, qint64 total)>;
    // A consumer that may fall behind: while `full` holds, the transfer reads no more of the
    // body (which then waits in the reply and in the socket); the transfer sets `resume` for the
    // time of each hop, and the consumer calls it once it has room again.
    struct BodyFlow {
        std::function<bool()> full;
        std::function<void()> resume;
    };
    // `quietLimit`: the request's time-out as the call takes it.
    QCoro::Task<Answer> fetch(HttpRequest request, std::chrono::milliseconds quietLimit, ChunkSink sink,
                              std::stop_token stop, BodyFlow *flow = nullptr);
    QNetworkAccessManager &manager();

    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_manager;
};

} // namespace cordavelle
