#pragma once

namespace cordavelle {

// Asks a launched VARA modem on its local command port whether it is ready for commands.
class VARAProbe {
public:
    VARAProbe() = delete;

    // Connects to 127.0.0.1:`port`, sends "VERSION\r" and reads up to three times: a reply that
    // names VERSION or VARA proves readiness at once; any other reply counts once the modem stops
    // sending. Blocks the calling thread: at once when nothing listens, about 5 s when the
    // modem accepts but stays silent, and never much more than 15 s (each connect, send and read
    // is limited to 5 s, with 200 ms between reads). A port outside 0 to 65535 is never ready.
    static bool probe(int port);
};

} // namespace cordavelle
