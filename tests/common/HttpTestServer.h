#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests that download: each path answers as its route
// says; unknown paths get 404. Hostile answers are produced as they are sent, so that the
// server itself holds little memory whatever it sends.

#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

struct Route
{
    enum Mode {
        Whole,   // status, headers and the whole body
        Silent,  // accepts and never answers
        Stalled, // announces the body, sends half of it, then nothing
        Unsized, // the body without a length, ended by closing the connection
        Drip,    // status and headers, then the body one byte every intervalMs
        Flood,   // a status line, then body, then chunk repeated `repeat` times, as fast as read
    };
    Mode mode = Whole;
    int status = 200;
    QByteArray body;
    QByteArray location; // sent as the Location header when set
    QByteArray type = "text/html";
    int intervalMs = 0;
    QByteArray chunk = {};
    qint64 repeat = 0;
};

class HttpTestServer final : public QObject
{
public:
    bool start()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++m_open;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QObject::destroyed, this, [this] { --m_open; });
            }
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    void set(const QString &path, const Route &route) { m_routes[path] = route; }
    void page(const QString &path, const QByteArray &body)
    {
        set(path, Route{Route::Whole, 200, body, {}});
    }
    int hits(const QString &path) const { return m_hits.value(path); }
    /// Connections not yet closed by both ends.
    int openConnections() const { return m_open; }
    /// Answers every silent request held so far with @p body.
    void release(const QByteArray &body)
    {
        for (const QPointer<QTcpSocket> &socket : std::exchange(m_held, {})) {
            if (socket)
                respond(socket, Route{Route::Whole, 200, body, {}});
        }
    }

private:
    void read(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        const QString path = words.size() > 1 ? QString::fromLatin1(words[1]) : QString();
        ++m_hits[path];
        const auto found = m_routes.constFind(path);
        const Route route =
            found != m_routes.cend() ? *found : Route{Route::Whole, 404, "none", {}};
        if (route.mode == Route::Silent)
            m_held.append(socket);
        else if (route.mode == Route::Flood)
            flood(socket, route);
        else
            respond(socket, route);
    }

    static void flood(QTcpSocket *socket, const Route &route)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(route.status) + " X\r\n" + route.body);
        auto left = std::make_shared<qint64>(route.repeat);
        auto more = [socket, left, chunk = route.chunk] {
            while (*left > 0 && socket->bytesToWrite() < 256 * 1024) {
                socket->write(chunk);
                --*left;
            }
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }

    static void respond(QTcpSocket *socket, const Route &route)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " X\r\n";
        if (!route.location.isEmpty())
            head += "Location: " + route.location + "\r\n";
        head += "Content-Type: " + route.type + "\r\nConnection: close\r\n";
        if (route.mode != Route::Unsized)
            head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        socket->write(head + "\r\n");
        if (route.mode == Route::Stalled) {
            socket->write(route.body.left(route.body.size() / 2));
            return; // the connection stays open and silent
        }
        if (route.mode == Route::Drip) {
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            QObject::connect(timer, &QTimer::timeout, socket, [socket, sent, body = route.body] {
                if (*sent < body.size())
                    socket->write(body.mid((*sent)++, 1));
            });
            timer->start(route.intervalMs);
            return;
        }
        socket->write(route.body);
        socket->disconnectFromHost();
    }

    int m_open = 0; // before the server, whose sockets count themselves out as it goes
    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QHash<QString, int> m_hits;
    QList<QPointer<QTcpSocket>> m_held;
};
