// Feeds arbitrary bytes to the request parser, whole and split into reads, and checks that the
// incremental reader always agrees with a parse of everything received so far. A body then goes
// the way the router takes it: the nesting gate, the JSON reader and the walk over its texts.
#include "api/client_text.h"
#include "api/http_request_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

using cordavelle::FeedResult;
using cordavelle::HTTPRequestParser;
using cordavelle::HTTPRequestReader;

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "http_request_parser_fuzz: %s\n", what);
    std::abort();
}

void checkComplete(const FeedResult &result, qsizetype available)
{
    if (result.kind != FeedResult::Kind::complete) {
        return;
    }
    if (result.consumed <= 0 || result.consumed > available) {
        fail("consumed outside the buffer");
    }
    if (result.request.body && (result.request.body->isEmpty()
                                || result.request.body->size() > HTTPRequestParser::kMaxBodyBytes)) {
        fail("body present but empty or over the limit");
    }
    result.request.pathComponents();
    result.request.isLoopback();
}

// The deepest nesting of arrays and objects in a document, found without recursion.
int depthOf(const cordavelle::Json &document)
{
    int deepest = 0;
    std::vector<std::pair<const cordavelle::Json *, int>> pending{{&document, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (value->is_structured()) {
            deepest = std::max(deepest, depth + 1);
            for (const cordavelle::Json &item : *value) {
                pending.emplace_back(&item, depth + 1);
            }
        }
    }
    return deepest;
}

void checkBody(const QByteArray &body)
{
    if (cordavelle::jsonNestsDeeperThan(body, cordavelle::kMaxJsonBodyDepth)) {
        return;
    }
    const cordavelle::Json parsed = cordavelle::Json::parse(body.cbegin(), body.cend(), nullptr, false);
    if (parsed.is_discarded()) {
        return;
    }
    if (depthOf(parsed) > cordavelle::kMaxJsonBodyDepth) {
        fail("a document deeper than the limit passed the nesting gate");
    }
    cordavelle::holdsControlCharacters(parsed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte picks how the rest is cut into reads.
    const unsigned step = 1 + data[0] % 64;
    const QByteArrayView input(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const QString remote = QStringLiteral("127.0.0.1");

    const FeedResult whole = HTTPRequestParser::feed(input, remote);
    checkComplete(whole, input.size());
    if (whole.kind == FeedResult::Kind::complete && whole.request.body) {
        checkBody(*whole.request.body);
    }
    if (whole.kind == FeedResult::Kind::invalid && whole.reason.isEmpty()) {
        fail("invalid without a reason");
    }

    HTTPRequestReader reader(remote);
    qsizetype at = 0;
    while (at < input.size()) {
        const qsizetype n = std::min<qsizetype>(step, input.size() - at);
        const FeedResult incremental = reader.append(input.sliced(at, n));
        at += n;
        if (!(incremental == HTTPRequestParser::feed(input.first(at), remote))) {
            fail("reader and whole-buffer parse disagree");
        }
        if (incremental.kind != FeedResult::Kind::needMore) {
            break;
        }
    }

    HTTPRequestParser::normalizedPath(QString::fromUtf8(input));
    return 0;
}
