// A stand-in for the speech helper that knows where its words lie, for tests
// of olvek-transcribe's timed formats before and beside the real recognizer.
// It speaks the helper's protocol without any recognizer. Its script's
// events are, for each sentence, a partial per word (the sentence so far)
// and the final; it sends the next of them after each audio line it takes,
// and after "__END__" (or the end of the stream) the rest and "stopped".
// Launched with
// "--olvek-timings" anywhere on its command line, every partial and final
// with text carries "start" and "end", and each final its "words", all as
// text with three decimals, as the helper does; without it, the events are
// exactly the plain ones. Configured from OLVEK_TIMED_HELPER, "key=value"
// items separated by ";":
//   script=S    sentences separated by "|", each a list of
//               "word@start-end" separated by ","; empty: silence (a final
//               with empty text). Default: "hello@1.2-1.5,world@1.55-2.04|
//               second@3.0-3.4,sentence@3.5-4.345"
//   args=PATH   appends its arguments, one line per launch, separated by
//               single blanks
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Word {
    std::string text, start, end;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::string seconds(const std::string& text) {
    char out[32];
    std::snprintf(out, sizeof out, "%.3f", std::atof(text.c_str()));
    return out;
}

void send(int fd, const std::string& line) {
    std::string bytes = line + "\n";
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) std::exit(90);
}

std::string event(const std::string& type, const std::vector<Word>& words, bool timings, bool withWords) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w.text;
    std::string line = R"({"type":")" + type + R"(","text":")" + text + R"(","language":"en-US")";
    if (timings && !words.empty()) {
        line += R"(,"start":")" + words.front().start + R"(","end":")" + words.back().end + "\"";
        if (withWords) {
            line += R"(,"words":[)";
            for (std::size_t i = 0; i < words.size(); ++i) {
                line += std::string(i ? "," : "") + R"({"word":")" + words[i].text + R"(","start":")" +
                        words[i].start + R"(","end":")" + words[i].end + R"(","confidence":"0.875"})";
            }
            line += "]";
        }
    }
    return line + "}";
}

} // namespace

int main(int argc, char** argv) {
    std::string script = "hello@1.2-1.5,world@1.55-2.04|second@3.0-3.4,sentence@3.5-4.345", argsPath;
    const char* config = std::getenv("OLVEK_TIMED_HELPER");
    for (const auto& item : split(config ? config : "", ';')) {
        auto equals = item.find('=');
        if (equals == std::string::npos) continue;
        if (item.substr(0, equals) == "script") script = item.substr(equals + 1);
        if (item.substr(0, equals) == "args") argsPath = item.substr(equals + 1);
    }
    int port = -1;
    std::string token;
    bool timings = false;
    std::string launchLine;
    for (int i = 1; i < argc; ++i) {
        launchLine += std::string(i > 1 ? " " : "") + argv[i];
        if (std::strcmp(argv[i], "--olvek-timings") == 0) timings = true;
        if (i + 1 < argc && std::strcmp(argv[i], "--olvek-socket-port") == 0) port = std::atoi(argv[i + 1]);
        if (i + 1 < argc && std::strcmp(argv[i], "--olvek-socket-token") == 0) token = argv[i + 1];
    }
    if (!argsPath.empty()) std::ofstream(argsPath, std::ios::app) << launchLine << "\n";
    if (port < 0) return 4;

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 4;
    send(fd, R"({"type":"hello","token":")" + token + "\"}");
    send(fd, R"({"type":"ready","locale":"en-US"})");

    std::vector<std::vector<Word>> sentences;
    for (const auto& sentence : split(script, '|')) {
        std::vector<Word> words;
        for (const auto& entry : split(sentence, ',')) {
            auto at = entry.find('@'), dash = entry.find('-', entry.find('@'));
            if (at == std::string::npos || dash == std::string::npos) continue;
            words.push_back({entry.substr(0, at), seconds(entry.substr(at + 1, dash - at - 1)),
                             seconds(entry.substr(dash + 1))});
        }
        sentences.push_back(words);
    }
    if (sentences.empty()) sentences.emplace_back();
    std::vector<std::string> events;
    for (const auto& words : sentences) {
        for (std::size_t n = 1; n <= words.size(); ++n) {
            events.push_back(event("partial", std::vector<Word>(words.begin(), words.begin() + n), timings, false));
        }
        events.push_back(event("final", words, timings, true));
    }

    // One event per audio line, up to "__END__" or the end of the stream.
    std::size_t next = 0;
    std::string pending;
    for (bool ended = false; !ended;) {
        char buffer[8192];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto newline = pending.find('\n'); newline != std::string::npos && !ended;
             newline = pending.find('\n')) {
            if (pending.compare(0, newline, "__END__") == 0) {
                ended = true;
            } else if (next < events.size()) {
                send(fd, events[next++]);
            }
            pending.erase(0, newline + 1);
        }
    }
    while (next < events.size()) send(fd, events[next++]);
    send(fd, R"({"type":"stopped"})");
    ::close(fd);
    return 0;
}
