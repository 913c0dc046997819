#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimeZone>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "historian/historian_settings.h"

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QHttpServerResponse;
class QWebSocket;
class QUrlQuery;

namespace terval {

class PlantHistory;
class PlantLiveState;

// The plant view in a browser: the pages Станции, Аварии and Реле with their scripts from the
// program's resources, a JSON API under /api/ and the live state pushed over a WebSocket at /live.
// Read-only: it answers GET alone (405 for anything else, the sign-in form excepted); nothing it
// serves reaches a relay, a station or the historian's tables beyond reading them.
//
// Every answer carries a Content-Security-Policy that allows the pages' own files only (no inline
// script). Every query parameter is checked: a bad one is 400 with the reason in Russian, an
// unknown station or relay 404. When WebSettings names a password file, every page, file and API
// answer but the sign-in form's wants a session (a cookie, HttpOnly and SameSite=Strict, Secure
// under TLS). Connections beyond WebSettings::maxConnections are refused at once.
class PlantWebServer final : public QObject {
    Q_OBJECT

  public:
    // `history` may be null (no database given): the history's pages then say so.
    PlantWebServer(WebSettings settings, PlantLiveState& live, PlantHistory* history,
                   QObject* parent = nullptr);
    ~PlantWebServer() override;

    // Reads the password file and the certificate and key, and listens. False with `error` in
    // Russian when any of these fails.
    bool start(QString* error);
    quint16 port() const { return port_; }
    int openConnections() const;
    int liveClients() const { return int(sockets_.size()); }

    // A password file's line for `user`: "user:pbkdf2-sha256$<iterations>$<salt>$<key>", salt and
    // key in base64.
    static QByteArray passwordLine(const QString& user, const QByteArray& password);
    // Whether `password` matches the line's hash (constant time in the key's comparison).
    static bool checkPassword(const QByteArray& hashField, const QByteArray& password);

    // The Content-Security-Policy every answer carries.
    static QByteArray contentSecurityPolicy();

  private:
    struct Answer;
    struct Session {
        QString user;
        QDateTime lastUsed;
    };

    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    Answer route(const QHttpServerRequest& request);
    Answer api(const QString& path, const QUrlQuery& query);
    Answer page(const QString& path);
    Answer signIn(const QHttpServerRequest& request);
    Answer signOut(const QHttpServerRequest& request);
    std::optional<QString> sessionUser(const QByteArray& cookieHeader);
    void takeWebSockets();
    void pushUpdates();
    QJsonObject snapshot() const;
    QJsonObject brokerJson() const;
    bool readPasswordFile(QString* error);

    WebSettings settings_;
    PlantLiveState& live_;
    PlantHistory* history_;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
    std::unique_ptr<QHttpServer> server_;
    std::function<int()> openCount_;  // the listener's, which the HTTP server owns
    quint16 port_ = 0;
    std::map<QString, QByteArray> users_;                     // user -> hash field
    std::map<QByteArray, Session> sessions_;                  // token -> session
    std::map<QString, std::deque<QDateTime>> failedSignIns_;  // by address, the last quarter hour
    std::vector<QWebSocket*> sockets_;  // live clients, owned by this (Qt parent)
    QSet<QString> dirtyStations_;
    qint64 lastPushedEvent_ = 0;
    bool brokerDirty_ = false;
    QTimer pushTimer_;
};

}  // namespace terval
