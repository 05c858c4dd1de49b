#include "helper_handshake.h"

#include <algorithm>
#include <poll.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/session_token.h"

namespace olvek::host {

bool isHelloWithToken(std::string_view line, std::string_view token) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) return false;
    auto type = event.find("type");
    auto sent = event.find("token");
    if (type == event.end() || sent == event.end() || !type->is_string() || !sent->is_string()) return false;
    if (type->get_ref<const std::string&>() != "hello") return false;
    return tokensEqual(token, sent->get_ref<const std::string&>());
}

HandshakeOutcome acceptHelper(LoopbackListener& listener, const std::string& token, Clock::time_point deadline,
                              const std::function<bool()>& giveUp, HandshakeLimits limits) {
    struct Candidate {
        std::unique_ptr<LineConnection> connection;
        Clock::time_point deadline;
    };
    constexpr auto kSlice = std::chrono::milliseconds(20);
    HandshakeOutcome outcome;
    std::vector<Candidate> candidates;

    // Once `giveUp` says so (the helper has exited), what it sent before it
    // went is still in the kernel's buffers: one last sweep that does not
    // wait takes it, so its "hello" and its connection are not lost.
    bool sweeping = false;
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return outcome;
        if (!sweeping && giveUp && giveUp()) sweeping = true;

        // Turn away candidates whose time is up before waiting again.
        auto expired = std::remove_if(candidates.begin(), candidates.end(),
                                      [&](const Candidate& c) { return c.deadline <= now; });
        outcome.rejected += static_cast<int>(candidates.end() - expired);
        candidates.erase(expired, candidates.end());

        auto wake = std::min(deadline, now + kSlice);
        for (const auto& c : candidates) wake = std::min(wake, c.deadline);
        std::vector<pollfd> fds{{listener.fd(), POLLIN, 0}};
        for (const auto& c : candidates) fds.push_back({c.connection->fd(), POLLIN, 0});
        auto waitMs = sweeping ? 0 : std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(waitMs, 0)));
        if (ready <= 0) {
            if (sweeping) {
                outcome.rejected += static_cast<int>(candidates.size());
                return outcome;
            }
            continue;
        }

        if (fds[0].revents & POLLIN) {
            // Zero wait: the listener is ready, so this does not block.
            if (auto connection = listener.accept(Clock::now())) {
                candidates.push_back({std::move(connection), Clock::now() + limits.perConnection});
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Candidate& c = candidates[i - 1];
            bool open = true;
            auto line = c.connection->readLineNow(open);
            if (line && isHelloWithToken(*line, token)) {
                outcome.connection = std::move(c.connection);
                outcome.hello = *line;
                outcome.rejected += static_cast<int>(candidates.size()) - 1;
                return outcome;
            }
            bool waitingForMore = !line && open && c.connection->bufferedBytes() <= limits.maxHelloBytes;
            if (!waitingForMore) c.connection.reset();
        }
        auto closed = std::remove_if(candidates.begin(), candidates.end(),
                                     [](const Candidate& c) { return !c.connection; });
        outcome.rejected += static_cast<int>(candidates.end() - closed);
        candidates.erase(closed, candidates.end());
    }
}

} // namespace olvek::host
