#include "http_client.h"

#include "async/reply_end.h"

#include "cancellation.h"
#include "document_pace.h"
#include "download_writer.h"
#include "files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>

#include <algorithm>
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

// Descriptors a hop may want at once: its socket, and a thread's wake-up for the look-up.
constexpr int kSpareDescriptorsForRequest = 8;

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

// One request-and-answer of a transfer (a redirect starts another), shared with its watch.
struct Hop {
    QPointer<QNetworkReply> reply;
    Clock::SteadyTime lastActivity;
    std::stop_source watchStop;
    qint64 total = -1;
    // Body bytes as they came off the wire, to hold against `total`.
    qint64 received = 0;
    // A redirect's status and target, kept as they came: the hop is cut once they are in.
    bool redirect = false;
    QByteArray location;
    // The status line and headers came: a failure from then on broke off an answer.
    bool answered = false;
    bool finished = false;
    bool timedOut = false;
    // The transfer fell behind its pace; what came in the pace's window then.
    bool tooSlow = false;
    qint64 recentBytes = 0;
    bool tooLong = false;
    bool sinkRefused = false;
};

// Aborts the hop once no byte has arrived for `quietLimit`, once the transfer has fallen
// behind `pace` when it keeps one, or at its `ceiling`; ends when the hop does.
QCoro::Task<void> watchHop(std::shared_ptr<Clock> clock, std::chrono::milliseconds quietLimit,
                           std::shared_ptr<const DocumentPace> pace, Clock::SteadyTime ceiling, std::shared_ptr<Hop> hop)
{
    const std::stop_token stop = hop->watchStop.get_token();
    while (!hop->finished) {
        const Clock::SteadyTime now = clock->now();
        const Clock::SteadyTime quiet = hop->lastActivity + quietLimit;
        const Clock::SteadyTime deadline = std::min({quiet, ceiling, pace ? pace->behindAt(now) : quiet});
        if (now >= deadline) {
            if (now >= quiet) {
                hop->timedOut = true;
            } else if (now >= ceiling) {
                hop->tooLong = true;
            } else {
                hop->tooSlow = true;
                hop->recentBytes = pace->recent(now);
            }
            if (hop->reply) {
                hop->reply->abort();
            }
            co_return;
        }
        const bool slept = co_await clock->sleep(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), stop);
        if (!slept) {
            co_return;
        }
    }
}

qint64 wholeSeconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

// "8 MiB", "512 KiB", "100 bytes".
QString sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) {
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    }
    if (bytes >= 1024 && bytes % 1024 == 0) {
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    }
    return QStringLiteral("%1 bytes").arg(bytes);
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

QCoro::Task<QtHttpClient::Answer> QtHttpClient::fetch(HttpRequest request, std::chrono::milliseconds quietLimit,
                                                      ChunkSink sink, std::stop_token stop, BodyFlow *flow)
{
    throwIfStopped(stop);
    QUrl url = request.url;
    const Clock::SteadyTime begun = m_clock->now();
    std::shared_ptr<DocumentPace> pace;
    if (request.limit) {
        pace = std::make_shared<DocumentPace>(begun + *request.limit);
    }
    // A year stands for none.
    const auto never = std::chrono::hours(24 * 365);
    if (quietLimit <= std::chrono::milliseconds::zero()) {
        quietLimit = never;
    }
    const Clock::SteadyTime ceiling = begun + (request.ceiling ? *request.ceiling : never);
    // Counted outside the loop header: g++ 12 loses a for-loop variable across a co_await.
    int redirects = 0;
    while (true) {
        // Qt looks the host up and may talk to it on threads of its own, and ends the process when
        // it can't have the descriptors a new thread wants: with too few left a hop fails instead.
        if (!haveSpareDescriptors(kSpareDescriptorsForRequest)) {
            throw HttpError(HttpError::Kind::transport,
                            QStringLiteral("Could not reach %1: too few descriptors are left; try again shortly")
                                .arg(serverName(url)));
        }
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
        QObject *contextPointer = &context;
        QObject::connect(raw, &QNetworkReply::metaDataChanged, &context, [hop, raw, clock, contextPointer] {
            hop->lastActivity = clock->now();
            const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            hop->answered = status.isValid();
            hop->redirect = status.isValid() && isRedirect(status.toInt()) && raw->hasRawHeader("Location");
            const QVariant length = raw->header(QNetworkRequest::ContentLengthHeader);
            hop->total = length.isValid() ? length.toLongLong() : -1;
            if (hop->redirect) {
                // The target is all a redirect gives; its body is not waited for, since a server
                // could keep it coming for as long as it liked. Queued, so as not to end the reply
                // inside its own signal.
                hop->location = raw->rawHeader("Location");
                QMetaObject::invokeMethod(
                    contextPointer, [hop] { if (hop->reply) hop->reply->abort(); }, Qt::QueuedConnection);
            }
        });
        auto drain = [hop, raw, clock, &sink, flow, pace] {
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
                if (hop->redirect) {
                    continue;
                }
                if (pace) {
                    pace->add(hop->lastActivity, chunk.size());
                }
                if (!sink(chunk, hop->total)) {
                    hop->sinkRefused = true;
                    raw->abort();
                }
            }
        };
        QObject::connect(raw, &QIODevice::readyRead, &context, drain);
        if (flow) {
            flow->resume = drain;
        }
        watchHop(m_clock, quietLimit, pace, ceiling, hop);
        // The abort is queued: a stop requested in the middle of other work must not finish the
        // transfer (and run its continuation) inside that work.
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
            const qint64 quiet = wholeSeconds(quietLimit);
            throw HttpError(HttpError::Kind::timedOut,
                            hop->answered ? QStringLiteral("%1 stopped sending its answer: nothing came for %2 s after %3 bytes.")
                                                .arg(serverName(url))
                                                .arg(quiet)
                                                .arg(hop->received)
                                          : QStringLiteral("%1 sent no answer within %2 s.").arg(serverName(url)).arg(quiet));
        }
        if (hop->tooSlow) {
            throw HttpError(HttpError::Kind::timedOut,
                            QStringLiteral("%1 answered too slowly: %2 bytes came in the last %3 s, %4 s into the transfer.")
                                .arg(serverName(url))
                                .arg(hop->recentBytes)
                                .arg(DocumentPace::kWindow.count())
                                .arg(wholeSeconds(m_clock->now() - begun)));
        }
        if (hop->tooLong) {
            throw HttpError(HttpError::Kind::timedOut,
                            QStringLiteral("%1 answered too slowly: its answer was still coming after %2 s.")
                                .arg(serverName(url))
                                .arg(wholeSeconds(m_clock->now() - begun)));
        }
        if (!hop->redirect) {
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
        const QUrl next = url.resolved(QUrl::fromEncoded(hop->location));
        const bool web = next.scheme() == QLatin1String("http") || next.scheme() == QLatin1String("https");
        if (!next.isValid() || !web) {
            throw HttpError(HttpError::Kind::transport,
                            QStringLiteral("Invalid redirect to %1").arg(QString::fromUtf8(hop->location)));
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
    const qint64 cap = request.maximumSize.value_or(kMaximumDocumentSize);
    const std::chrono::milliseconds quiet = request.timeout.value_or(kDocumentQuietLimit);
    if (!request.limit) {
        request.limit = kDocumentTimeLimit;
    }
    if (!request.ceiling) {
        request.ceiling = kDocumentTimeCeiling;
    }
    ChunkSink keep = [&body, &tooLarge, cap](const QByteArray &chunk, qint64 total) {
        if (total > cap || body.size() + chunk.size() > cap) {
            tooLarge = true;
            return false;
        }
        body += chunk;
        return true;
    };
    Answer answer = co_await fetch(std::move(request), quiet, std::move(keep), std::move(stop));
    if (tooLarge) {
        throw HttpError(HttpError::Kind::transport, QStringLiteral("The answer from %1 is larger than %2.")
                                                        .arg(answer.url.toDisplayString(), sizeText(cap)));
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
    // No thread to open it with reads as a shortage, which it is.
    const int fd = opened.value_or(-EAGAIN);
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
        const std::chrono::milliseconds quiet = request.timeout.value_or(HttpRequest::kDefaultTimeout);
        ChunkSink toDisk = [&](const QByteArray &chunk, qint64 total) {
            if (queue->failed()) {
                return false;
            }
            queue->append(chunk);
            received += chunk.size();
            if (progress) {
                progress(received, total);
            }
            return true;
        };
        answer = co_await fetch(std::move(request), quiet, std::move(toDisk), stop, &flow);
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
