// A minimal HTTP/1.1 server on 127.0.0.1 for the update check's tests.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace shelltest {

// A minimal HTTP/1.1 server on 127.0.0.1 that answers every GET with one fixed
// status and body and records the request targets.
class VersionServer : public QObject {
public:
    VersionServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }
    QUrl base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    void reply(int status, const QByteArray& body) {
        m_status = status;
        m_body = body;
    }
    void redirectTo(const QByteArray& path) { m_redirectTo = path; }
    QStringList targets;

private:
    void serve(QTcpSocket* socket) {
        auto* buffer = new QByteArray;
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (!buffer->startsWith("GET ")) {  // a TLS hello: answer in plain text and hang up
                socket->write("HTTP/1.1 400 Bad Request\r\n\r\n");
                socket->disconnectFromHost();
                return;
            }
            if (!buffer->contains("\r\n\r\n"))
                return;
            const QByteArray target = buffer->split(' ').value(1);
            targets << QString::fromLatin1(target);
            if (!m_redirectTo.isEmpty() && !target.startsWith(m_redirectTo)) {
                socket->write("HTTP/1.1 302 Found\r\nLocation: " + m_redirectTo +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
                return;
            }
            const QByteArray reason = m_status == 200 ? "OK" : "Server Error";
            socket->write("HTTP/1.1 " + QByteArray::number(m_status) + " " + reason +
                          "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                          QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
            socket->disconnectFromHost();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, buffer] {
            delete buffer;
            socket->deleteLater();
        });
    }
    QTcpServer m_server;
    int m_status = 200;
    QByteArray m_body;
    QByteArray m_redirectTo;
};

}  // namespace shelltest
