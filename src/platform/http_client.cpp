#include "http_client.h"

#include "async/reply_end.h"

#include "cancellation.h"
#include "files.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <condition_variable>
#include <coroutine>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

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
    bool sinkRefused = false;
};

// Aborts the hop once no byte has arrived for `timeout`; ends when the hop does.
QCoro::Task<void> watchIdle(std::shared_ptr<Clock> clock, std::chrono::milliseconds timeout, std::shared_ptr<Hop> hop)
{
    const std::stop_token stop = hop->watchStop.get_token();
    while (!hop->finished) {
        const Clock::SteadyTime deadline = hop->lastActivity + timeout;
        const Clock::SteadyTime now = clock->now();
        if (now >= deadline) {
            hop->timedOut = true;
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
            if (!raw->isOpen()) {
                return;
            }
            // Once the reply has finished, the rest is small (the reply's buffer) and taken whole.
            if (flow && !hop->finished && flow->full()) {
                return;
            }
            const QByteArray chunk = raw->readAll();
            if (chunk.isEmpty() || hop->sinkRefused) {
                return;
            }
            hop->lastActivity = clock->now();
            hop->received += chunk.size();
            // A redirect's own body is nobody's business.
            if (!hop->redirect && !sink(chunk, hop->total)) {
                hop->sinkRefused = true;
                raw->abort();
            }
        };
        QObject::connect(raw, &QIODevice::readyRead, &context, drain);
        if (flow) {
            flow->resume = drain;
        }
        if (request.timeout > std::chrono::milliseconds::zero()) {
            watchIdle(m_clock, request.timeout, hop);
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

namespace {

// Writes a download's pieces to its file on a thread of its own, so that a disk that falls behind
// holds up the transfer rather than the event loop. Owned by one coroutine on the event loop;
// its callbacks run there too.
class BackgroundFileWriter {
public:
    // Creates (or empties) the file. Throws FileError.
    explicit BackgroundFileWriter(const QString &path) : m_path(path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            throw FileError(QStringLiteral("Could not write %1: %2").arg(path, errnoText(errno)));
        }
        m_thread = std::thread([this] { run(); });
    }

    ~BackgroundFileWriter()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_abandoned = true;
            m_queue.clear();
        }
        m_wake.notify_one();
        m_thread.join();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    BackgroundFileWriter(const BackgroundFileWriter &) = delete;
    BackgroundFileWriter &operator=(const BackgroundFileWriter &) = delete;

    // Called on the event loop once the queue has room again after `full` said it had none.
    void setOnRoom(std::function<void()> onRoom) { m_onRoom = std::move(onRoom); }

    void append(const QByteArray &chunk)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_queued += chunk.size();
            m_queue.push_back(chunk);
        }
        m_wake.notify_one();
    }

    // Whether the queue is past its bound; if so, `onRoom` follows once it has drained to half.
    bool full()
    {
        const std::lock_guard lock(m_mutex);
        m_ownerWaits = m_queued > QtHttpClient::kMaxQueuedBytes;
        return m_ownerWaits;
    }

    // The first write failure, if any.
    std::optional<QString> failure()
    {
        const std::lock_guard lock(m_mutex);
        return m_failure;
    }

    // Writes what is queued and closes the file; the failure text if a write or the close failed.
    QCoro::Task<std::optional<QString>> finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_wake.notify_one();
        co_await Closed(*this);
        co_return failure();
    }

private:
    // Resumes the awaiting coroutine once the writer thread has closed the file.
    class Closed {
    public:
        explicit Closed(BackgroundFileWriter &writer) : m_writer(&writer) {}
        bool await_ready() const
        {
            const std::lock_guard lock(m_writer->m_mutex);
            return m_writer->m_closed;
        }
        bool await_suspend(std::coroutine_handle<> handle) const
        {
            const std::lock_guard lock(m_writer->m_mutex);
            if (m_writer->m_closed) {
                return false;  // closed in the meantime
            }
            m_writer->m_closeWaiter = handle;
            return true;
        }
        void await_resume() const noexcept {}

    private:
        BackgroundFileWriter *m_writer;
    };

    static QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

    void run()
    {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [this] { return m_abandoned || m_closing || !m_queue.empty(); });
            if (m_abandoned) {
                return;
            }
            if (m_queue.empty()) {
                // Closing with everything written.
                if (::close(m_fd) != 0 && !m_failure) {
                    m_failure = errnoText(errno);
                }
                m_fd = -1;
                m_closed = true;
                notifyOwner();
                return;
            }
            const QByteArray chunk = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            const std::optional<QString> failed = m_failure ? std::nullopt : writeAll(chunk);
            lock.lock();
            m_queued -= chunk.size();
            if (failed && !m_failure) {
                m_failure = failed;
            }
            if (m_ownerWaits && (m_failure || m_queued <= QtHttpClient::kMaxQueuedBytes / 2)) {
                m_ownerWaits = false;
                notifyOwner();
            }
        }
    }

    std::optional<QString> writeAll(const QByteArray &chunk) const
    {
        const char *data = chunk.constData();
        qsizetype left = chunk.size();
        while (left > 0) {
            const ssize_t written = ::write(m_fd, data, static_cast<size_t>(left));
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errnoText(errno);
            }
            data += written;
            left -= written;
        }
        return std::nullopt;
    }

    // Called with the lock held, on the writer thread.
    void notifyOwner()
    {
        QMetaObject::invokeMethod(
            &m_context,
            [this] {
                std::coroutine_handle<> waiter;
                {
                    const std::lock_guard lock(m_mutex);
                    waiter = std::exchange(m_closeWaiter, {});
                }
                if (waiter) {
                    waiter.resume();
                } else if (m_onRoom) {
                    m_onRoom();
                }
            },
            Qt::QueuedConnection);
    }

    QString m_path;
    int m_fd = -1;
    // Lives on the owner's thread; the writer thread's notices are delivered through it, and
    // die with it once the thread has been joined.
    QObject m_context;
    std::function<void()> m_onRoom;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    qint64 m_queued = 0;
    bool m_ownerWaits = false;
    bool m_closing = false;
    bool m_closed = false;
    bool m_abandoned = false;
    std::optional<QString> m_failure;
    std::coroutine_handle<> m_closeWaiter;
    std::thread m_thread;
};

} // namespace

QCoro::Task<HttpDownload> QtHttpClient::download(HttpRequest request, QString destination, DownloadProgress progress,
                                                 std::stop_token stop)
{
    // The bytes as the server stores them: an archive must not be unpacked on the way.
    request.headers.emplace_back("Accept-Encoding", "identity");
    const QString partial = destination + QStringLiteral(".download");
    QFile::remove(partial);
    // The disk is written from a thread of its own; when it falls behind, the transfer waits.
    auto writer = std::make_unique<BackgroundFileWriter>(partial);
    qint64 received = 0;
    try {
        BodyFlow flow;
        BackgroundFileWriter *writing = writer.get();
        flow.full = [writing] { return writing->full(); };
        writer->setOnRoom([&flow] {
            if (flow.resume) {
                flow.resume();
            }
        });
        Answer answer = co_await fetch(
            std::move(request),
            [&](const QByteArray &chunk, qint64 total) {
                if (writing->failure()) {
                    return false;
                }
                writing->append(chunk);
                received += chunk.size();
                if (progress) {
                    progress(received, total);
                }
                return true;
            },
            stop, &flow);
        writer->setOnRoom({});
        const std::optional<QString> writeError = co_await writer->finish();
        writer.reset();
        if (writeError) {
            throw FileError(QStringLiteral("Could not write %1: %2").arg(partial, *writeError));
        }
        // A cancel that came while the last pieces were written still leaves the destination be.
        throwIfStopped(stop);
        // Replaces the destination in one step: it is the old file or the new one, never neither.
        if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(destination).constData()) != 0) {
            throw FileError(QStringLiteral("Could not move the download to %1: %2")
                                .arg(destination, QString::fromLocal8Bit(std::strerror(errno))));
        }
        co_return HttpDownload{answer.statusCode, std::move(answer.headers), std::move(answer.url), received};
    } catch (...) {
        writer.reset();
        QFile::remove(partial);
        throw;
    }
}

} // namespace cordavelle
