#include "http_client.h"

#include "async/reply_end.h"

#include "cancellation.h"
#include "download_writer.h"
#include "files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>

#include <coroutine>
#include <exception>
#include <optional>

namespace cordavelle {

HttpError::HttpError(Kind kind, QString description)
    : DescribedError(std::move(description)), m_kind(kind)
{
}

void requireSecureLink(const QUrl &link, const QUrl &document)
{
    const QString scheme = link.scheme();
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && document.scheme() == scheme)) {
        return;
    }
    throw HttpError(HttpError::Kind::transport, QStringLiteral("Refused the insecure link %1").arg(link.toDisplayString()));
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

struct QtHttpClient::Answer {
    int statusCode = 0;
    HttpHeaders headers;
    QUrl url;
};

namespace {

bool isRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

int defaultPort(const QUrl &url) { return url.scheme() == QLatin1String("https") ? 443 : 80; }

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
           && a.port(defaultPort(a)) == b.port(defaultPort(b));
}

// Qt reports an HTTP error status (404, 500, …) as a reply error too; only the network,
// proxy and protocol codes mean that no answer came.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    const int code = error;
    return (code >= 1 && code <= 199) || error == QNetworkReply::ProtocolUnknownError
           || error == QNetworkReply::ProtocolFailure;
}

// One request-and-answer of a transfer (a redirect starts another), shared with the idle watch.
struct Hop {
    QPointer<QNetworkReply> reply;
    Clock::SteadyTime lastActivity;
    std::stop_source watchStop;
    qint64 total = -1;
    // Body bytes as they came off the wire, to hold against `total`.
    qint64 received = 0;
    bool redirect = false;
    // The status line and headers came: a failure from then on broke off an answer.
    bool answered = false;
    bool finished = false;
    bool timedOut = false;
    // The whole transfer's limit passed.
    bool tooSlow = false;
    bool sinkRefused = false;
};

// The average pace, in bytes a second, at which a document may go on coming past its limit: a
// slow link's, where a whole release list or script takes minutes, and no trickle's.
constexpr qint64 kSteadyDocumentRate = 2048;

// When a transfer that began at `begun` has taken too long: at `end`, or later for as long as
// what `hop` received averages kSteadyDocumentRate.
Clock::SteadyTime tooSlowAt(Clock::SteadyTime begun, Clock::SteadyTime end, const Hop &hop)
{
    return std::max(end, begun + std::chrono::milliseconds(hop.received * 1000 / kSteadyDocumentRate));
}

// Aborts the hop once no byte has arrived for `timeout`, or once it has taken too long for a
// transfer that began at `begun` and was to end by `end` (tooSlowAt); ends when the hop does.
QCoro::Task<void> watchIdle(std::shared_ptr<Clock> clock, std::chrono::milliseconds timeout, Clock::SteadyTime begun,
                            std::optional<Clock::SteadyTime> end, std::shared_ptr<Hop> hop)
{
    const std::stop_token stop = hop->watchStop.get_token();
    while (!hop->finished) {
        const Clock::SteadyTime quiet = hop->lastActivity + timeout;
        const Clock::SteadyTime deadline = end ? std::min(quiet, tooSlowAt(begun, *end, *hop)) : quiet;
        const Clock::SteadyTime now = clock->now();
        if (now >= deadline) {
            if (now >= quiet) {
                hop->timedOut = true;
            } else {
                hop->tooSlow = true;
            }
            if (hop->reply) {
                hop->reply->abort();
            }
            co_return;
        }
        if (!co_await clock->sleep(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), stop)) {
            co_return;
        }
    }
}

HttpHeaders headersOf(const QNetworkReply &reply)
{
    HttpHeaders out;
    for (const auto &pair : reply.rawHeaderPairs()) {
        out.emplace_back(pair.first, pair.second);
    }
    return out;
}

// The server as the user would recognise it: its host, and the port when one is given.
QString serverName(const QUrl &url)
{
    return url.port() == -1 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
}

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

} // namespace

QtHttpClient::QtHttpClient(std::shared_ptr<Clock> clock) : m_clock(std::move(clock)) {}

QtHttpClient::~QtHttpClient() = default;

QNetworkAccessManager &QtHttpClient::manager()
{
    if (!m_manager) {
        m_manager = std::make_unique<QNetworkAccessManager>();
    }
    return *m_manager;
}

QCoro::Task<QtHttpClient::Answer> QtHttpClient::fetch(HttpRequest request, ChunkSink sink, std::stop_token stop,
                                                      BodyFlow *flow)
{
    throwIfStopped(stop);
    QUrl url = request.url;
    const Clock::SteadyTime begun = m_clock->now();
    std::optional<Clock::SteadyTime> end;
    if (request.limit) {
        end = begun + *request.limit;
    }
    // Counted outside the loop header: g++ 12 loses a for-loop variable across a co_await.
    int redirects = 0;
    while (true) {
        QNetworkRequest hopRequest(url);
        hopRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        for (const auto &[name, value] : request.headers) {
            if (name.compare("Authorization", Qt::CaseInsensitive) == 0 && !sameOrigin(url, request.url)) {
                continue;
            }
            hopRequest.setRawHeader(name, value);
        }

        // Owns this hop's connections, so that none outlives the hop.
        QObject context;
        auto hop = std::make_shared<Hop>();
        hop->lastActivity = m_clock->now();
        std::unique_ptr<QNetworkReply, DeleteLater> reply(manager().get(hopRequest));
        // Bounded, so that the network thread waits for us instead of queueing the whole body as
        // events that would keep the event loop from anything else.
        reply->setReadBufferSize(kReadBufferSize);
        hop->reply = reply.get();
        QNetworkReply *raw = reply.get();
        Clock *clock = m_clock.get();
        QObject::connect(raw, &QNetworkReply::metaDataChanged, &context, [hop, raw, clock] {
            hop->lastActivity = clock->now();
            const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            hop->answered = status.isValid();
            hop->redirect = status.isValid() && isRedirect(status.toInt()) && raw->hasRawHeader("Location");
            const QVariant length = raw->header(QNetworkRequest::ContentLengthHeader);
            hop->total = length.isValid() ? length.toLongLong() : -1;
        });
        auto drain = [hop, raw, clock, &sink, flow] {
            while (raw->isOpen() && !hop->sinkRefused) {
                // Once the reply has finished, the rest is small (the reply's buffer) and taken whole.
                if (flow && !hop->finished && flow->full()) {
                    return;
                }
                // All of it in one read: readAll() takes it 16 KiB at a time, and each piece
                // wakes the network thread, which on a busy machine held the event loop for
                // milliseconds per MiB.
                const qint64 available = raw->bytesAvailable();
                const QByteArray chunk = available > 0 ? raw->read(available) : QByteArray();
                if (chunk.isEmpty()) {
                    return;
                }
                hop->lastActivity = clock->now();
                hop->received += chunk.size();
                // A redirect's own body is nobody's business.
                if (!hop->redirect && !sink(chunk, hop->total)) {
                    hop->sinkRefused = true;
                    raw->abort();
                }
            }
        };
        QObject::connect(raw, &QIODevice::readyRead, &context, drain);
        if (flow) {
            flow->resume = drain;
        }
        if (request.timeout > std::chrono::milliseconds::zero() || end) {
            const auto quiet = request.timeout > std::chrono::milliseconds::zero() ? request.timeout
                                                                                   : std::chrono::milliseconds(std::chrono::hours(24 * 365));
            watchIdle(m_clock, quiet, begun, end, hop);
        }
        // The abort is queued: a stop requested in the middle of other work must not finish the
        // transfer (and run its continuation) inside that work.
        QObject *contextPointer = &context;
        std::stop_callback onStop(stop, [contextPointer, hop] {
            QMetaObject::invokeMethod(
                contextPointer, [hop] { if (hop->reply) hop->reply->abort(); }, Qt::QueuedConnection);
        });

        co_await async::ReplyEnd(*raw);
        hop->finished = true;
        hop->watchStop.request_stop();
        drain();
        if (flow) {
            flow->resume = nullptr;
        }

        throwIfStopped(stop);
        if (hop->timedOut) {
            throw HttpError(HttpError::Kind::timedOut,
                            QStringLiteral("%1 stopped answering: the request timed out.").arg(serverName(url)));
        }
        if (hop->tooSlow) {
            throw HttpError(HttpError::Kind::timedOut,
                            QStringLiteral("%1 answered too slowly: the answer did not arrive within %2 s.")
                                .arg(serverName(url))
                                .arg(std::chrono::duration_cast<std::chrono::seconds>(m_clock->now() - begun).count()));
        }
        const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (hop->sinkRefused) {
            co_return Answer{status.toInt(), headersOf(*raw), url};
        }
        const QNetworkReply::NetworkError error = raw->error();
        if (error != QNetworkReply::NoError && (isTransportFailure(error) || !status.isValid())) {
            const QString text = hop->answered ? QStringLiteral("The answer from %1 broke off: %2")
                                               : QStringLiteral("Could not reach %1: %2");
            throw HttpError(HttpError::Kind::transport, text.arg(serverName(url), raw->errorString()));
        }
        if (!hop->redirect) {
            // Qt at times ends an answer whose connection closed early as if it were whole; the
            // length the server announced tells. A body Qt unpacked on the way has another length.
            const int code = status.isValid() ? status.toInt() : 0;
            const QByteArray encoding = raw->rawHeader("Content-Encoding").trimmed().toLower();
            const bool bodyExpected = code >= 200 && code != 204 && code != 304;
            if (bodyExpected && hop->total >= 0 && hop->received < hop->total
                && (encoding.isEmpty() || encoding == "identity")) {
                throw HttpError(HttpError::Kind::transport,
                                QStringLiteral("The answer from %1 broke off: got %2 of %3 bytes")
                                    .arg(serverName(url))
                                    .arg(hop->received)
                                    .arg(hop->total));
            }
            co_return Answer{code, headersOf(*raw), url};
        }
        if (redirects >= kMaximumRedirects) {
            throw HttpError(HttpError::Kind::transport,
                            QStringLiteral("Too many HTTP redirects, the last from %1").arg(serverName(url)));
        }
        const QUrl next = url.resolved(QUrl::fromEncoded(raw->rawHeader("Location")));
        const bool web = next.scheme() == QLatin1String("http") || next.scheme() == QLatin1String("https");
        if (!next.isValid() || !web) {
            throw HttpError(HttpError::Kind::transport,
                            QStringLiteral("Invalid redirect to %1").arg(QString::fromUtf8(raw->rawHeader("Location"))));
        }
        if (url.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https")) {
            throw HttpError(HttpError::Kind::transport,
                            QStringLiteral("Refused an insecure redirect to %1").arg(next.toDisplayString()));
        }
        url = next;
        ++redirects;
    }
}

QCoro::Task<HttpResponse> QtHttpClient::get(HttpRequest request, std::stop_token stop)
{
    QByteArray body;
    bool tooLarge = false;
    const QUrl address = request.url;
    if (!request.limit) {
        request.limit = kDocumentTimeLimit;
    }
    Answer answer = co_await fetch(
        std::move(request),
        [&body, &tooLarge](const QByteArray &chunk, qint64 total) {
            if (total > kMaximumDocumentSize || body.size() + chunk.size() > kMaximumDocumentSize) {
                tooLarge = true;
                return false;
            }
            body += chunk;
            return true;
        },
        std::move(stop));
    if (tooLarge) {
        throw HttpError(HttpError::Kind::transport, QStringLiteral("The answer from %1 is larger than %2 MiB.")
                                                        .arg(address.toDisplayString())
                                                        .arg(kMaximumDocumentSize / (1024 * 1024)));
    }
    co_return HttpResponse{answer.statusCode, std::move(answer.headers), std::move(answer.url), std::move(body)};
}

QCoro::Task<HttpDownload> QtHttpClient::download(HttpRequest request, QString destination, DownloadProgress progress,
                                                 std::stop_token stop)
{
    // The bytes as the server stores them: an archive must not be unpacked on the way.
    request.headers.emplace_back("Accept-Encoding", "identity");
    const QString partial = destination + QStringLiteral(".download");
    const std::optional<int> opened = co_await openingPartial(partial);
    const int fd = opened.value_or(-EIO);
    if (fd < 0) {
        throw FileError(QStringLiteral("Could not write %1: %2").arg(partial, systemErrorText(-fd)));
    }
    auto notice = std::make_shared<DiskQueue::RoomNotice>();
    auto queue = std::make_shared<DiskQueue>(fd, partial, destination, kMaxQueuedBytes, stop, notice);
    QCoro::Task<WriteOutcome> written = writeOut(queue);
    // A download dropped while suspended (at the program's end) must still let its writer go and
    // remove the partial file; after the writer has ended this does nothing.
    const auto abandonIfDropped = qScopeGuard([queue] { queue->abandon(); });

    BodyFlow flow;
    flow.full = [queue] { return queue->full(); };
    notice->resume = [&flow] {
        if (flow.resume) {
            flow.resume();
        }
    };
    qint64 received = 0;
    std::optional<Answer> answer;
    std::exception_ptr failure;
    try {
        answer = co_await fetch(
            std::move(request),
            [&](const QByteArray &chunk, qint64 total) {
                if (queue->failed()) {
                    return false;
                }
                queue->append(chunk);
                received += chunk.size();
                if (progress) {
                    progress(received, total);
                }
                return true;
            },
            stop, &flow);
    } catch (...) {
        failure = std::current_exception();
    }
    notice->resume = nullptr;
    if (failure) {
        queue->abandon();
    } else {
        queue->finish();
    }
    // Whatever happened, the file is closed and in place or removed before the download ends.
    const WriteOutcome outcome = co_await written;
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!outcome.failure.isEmpty()) {
        throw FileError(outcome.failure);
    }
    if (!outcome.placed) {
        throw OperationCancelled();
    }
    co_return HttpDownload{answer->statusCode, std::move(answer->headers), std::move(answer->url), received};
}

} // namespace cordavelle
