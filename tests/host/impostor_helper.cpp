// Stands in for the helper at launch: before the real helper runs, other
// local programs connect to the host's port first, as an attacker would.
// OLVEK_IMPOSTORS lists them in order, separated by ",":
//   wrong   sends "hello" with a wrong token
//   silent  connects and sends nothing
//   garbage sends a line that is not JSON
// The sockets stay open across the exec of OLVEK_IMPOSTOR_EXEC, which is
// started with this program's own arguments: the real helper, which must
// still get through.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int port = -1;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--olvek-socket-port") == 0) port = std::atoi(argv[i + 1]);
    }
    const char* target = std::getenv("OLVEK_IMPOSTOR_EXEC");
    if (port < 0 || !target) return 99;

    std::stringstream kinds(std::getenv("OLVEK_IMPOSTORS") ? std::getenv("OLVEK_IMPOSTORS") : "");
    std::string kind;
    while (std::getline(kinds, kind, ',')) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0); // no CLOEXEC: it outlives the exec
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 98;
        std::string line;
        if (kind == "wrong") line = "{\"type\":\"hello\",\"token\":\"0123456789abcdef0123456789abcdef\"}\n";
        if (kind == "garbage") line = "GET / HTTP/1.0\n";
        if (!line.empty() && ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return 97;
    }
    argv[0] = const_cast<char*>(target);
    ::execv(target, argv);
    std::perror("execv");
    return 96;
}
