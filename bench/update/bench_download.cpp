// Time to download the largest notes page (4 MiB) and version file (64 KiB) the update check
// accepts from a server on 127.0.0.1, through the downloader (libcurl on the download's own
// thread with every limit on, temporary file, hand-over to the calling thread and rename),
// beside the plain POSIX floor for the same job: connect, send the request, read the answer
// into a new file with read(2)/write(2), rename it.
// Prints the minimum and the median of 15 runs of each.
#include "net/Downloader.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 15;

/// Answers every connection with the same body, from a thread of its own.
class Server
{
public:
    explicit Server(std::string body) : m_body(std::move(body))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_listen, 16);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~Server()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }

private:
    void serve()
    {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                 std::to_string(m_body.size()) + "\r\nConnection: close\r\n\r\n";
        while (!m_stop) {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0)
                continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                request.append(buffer, size_t(n));
            }
            const std::string answer = head + m_body;
            for (size_t sent = 0; sent < answer.size();) {
                const ssize_t n = ::write(client, answer.data() + sent, answer.size() - sent);
                if (n <= 0)
                    break;
                sent += size_t(n);
            }
            ::close(client);
        }
    }

    std::string m_body;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/// The floor: one connection, the request, the answer streamed into a new file, a rename.
bool plainDownload(int port, const std::string &target)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return false;
    const std::string request = "GET /notes.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(s, request.data(), request.size()) != ssize_t(request.size()))
        return false;
    const std::string temp = target + ".part";
    const int f = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[65536];
    bool inBody = false;
    std::string head;
    for (ssize_t n; (n = ::read(s, buffer, sizeof buffer)) > 0;) {
        const char *data = buffer;
        size_t size = size_t(n);
        if (!inBody) {
            head.append(buffer, size);
            const size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            inBody = true;
            data = head.data() + end + 4;
            size = head.size() - end - 4;
        }
        if (::write(f, data, size) != ssize_t(size))
            return false;
    }
    ::close(f);
    ::close(s);
    return ::rename(temp.c_str(), target.c_str()) == 0;
}

struct Figures
{
    double min, median;
};

Figures measure(const std::function<bool()> &run)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!run()) {
            std::fprintf(stderr, "a download failed\n");
            std::exit(1);
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string folder = QFile::encodeName(dir.path()).toStdString();
    platform::Downloader download;

    for (const auto &[name, size] : {std::pair<const char *, qint64>{"notes page", 4 << 20},
                                     std::pair<const char *, qint64>{"version file", 64 << 10}}) {
        Server server(std::string(size_t(size), 'x'));
        const QString url = QStringLiteral("http://127.0.0.1:%1/notes.html").arg(server.port());
        const QString target = dir.filePath(QStringLiteral("NewVersionNotes.html"));
        const Figures ours = measure([&] {
            QEventLoop loop;
            bool ok = false;
            QObject::connect(&download, &platform::Downloader::finished, &loop, [&](bool done) {
                ok = done;
                loop.quit();
            });
            platform::DownloadLimits limits;
            limits.maxBytes = size;
            limits.totalMs = 120000;
            download.start(url, target, limits);
            loop.exec();
            return ok && QFileInfo(target).size() == size;
        });
        const Figures floor =
            measure([&] { return plainDownload(server.port(), folder + "/plain.html"); });
        std::printf("%s (%lld KiB), %d runs\n", name, size / 1024, Runs);
        std::printf("  Downloader:          min %7.2f ms  median %7.2f ms\n", ours.min,
                    ours.median);
        std::printf("  baseline read/write: min %7.2f ms  median %7.2f ms  (ratio %.2f)\n",
                    floor.min, floor.median, ours.median / floor.median);
    }
    return 0;
}
