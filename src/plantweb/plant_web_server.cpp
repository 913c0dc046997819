#include "plantweb/plant_web_server.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPasswordDigestor>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <optional>

#include "journal/journal_csv.h"
#include "plantweb/plant_history.h"
#include "plantweb/plant_live_state.h"

namespace terval {

namespace {

using Status = QHttpServerResponder::StatusCode;

constexpr int kPbkdf2Iterations = 100000;
constexpr int kKeyBytes = 32;
constexpr qint64 kSessionIdleSeconds = 12 * 3600;
constexpr int kMaxSessions = 1000;
constexpr int kMaxCsvRows = 100000;
constexpr int kPushIntervalMs = 200;
constexpr int kSignInTries = 5;
constexpr qint64 kMaxUnsentBytes = 8 << 20;
constexpr qint64 kSignInWindowSeconds = 15 * 60;
const QByteArray kCookieName = "terval_session";

// Connections beyond the limit are closed at once, before the HTTP server sees them: a browser
// left open on every office computer must not starve the next one, nor the program. A connection
// counts while its socket exists and is connected; sockets are followed by QPointer, not by their
// signals, since the HTTP server disconnects every signal of a socket it hands to the WebSocket
// server.
template <typename Base>
class LimitedServer final : public Base {
  public:
    explicit LimitedServer(int limit) : limit_(limit) {}

    int open() {
        std::erase_if(sockets_, [](const QPointer<QTcpSocket>& socket) {
            return socket.isNull() || socket->state() == QAbstractSocket::UnconnectedState;
        });
        return int(sockets_.size());
    }

  protected:
    void incomingConnection(qintptr handle) override {
        if (open() >= limit_) {
            QTcpSocket refused;
            if (refused.setSocketDescriptor(handle)) {
                if constexpr (std::is_same_v<Base, QTcpServer>) {
                    refused.write(
                        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                        "Connection: close\r\nRetry-After: 5\r\n\r\n");
                    refused.waitForBytesWritten(100);
                }
                refused.abort();
            }
            return;
        }
        const QList<QTcpSocket*> before =
            this->template findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly);
        Base::incomingConnection(handle);
        for (QTcpSocket* socket :
             this->template findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
            if (!before.contains(socket)) {
                sockets_.emplace_back(socket);
            }
        }
    }

  private:
    int limit_;
    std::vector<QPointer<QTcpSocket>> sockets_;
};

QJsonObject errorJson(const QString& message) {
    return QJsonObject{{QStringLiteral("error"), message}};
}

// A query parameter checked against what the request may carry: each name at most once, none it
// does not know.
class Params {
  public:
    Params(const QUrlQuery& query, std::initializer_list<const char*> allowed) {
        QSet<QString> seen;
        for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
            bool known = false;
            for (const char* a : allowed) {
                known = known || name == QLatin1String(a);
            }
            if (!known) {
                error = QStringLiteral("Неизвестный параметр «%1»").arg(name.left(40));
                return;
            }
            if (seen.contains(name)) {
                error = QStringLiteral("Параметр «%1» задан дважды").arg(name);
                return;
            }
            seen.insert(name);
            values.insert(name, value);
        }
    }
    bool has(const char* name) const { return values.contains(QLatin1String(name)); }
    QString value(const char* name) const { return values.value(QLatin1String(name)); }

    QString error;
    QHash<QString, QString> values;
};

std::optional<int> parseInt(const QString& text, int low, int high) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    const int value = text.toInt();
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// "2026-12-07", "2026-12-07T19:08", "2026-12-07T19:08:33", with seconds' fractions, "Z" or an
// offset; without a zone the plant computer's own.
std::optional<QDateTime> parseTime(const QString& text, const QTimeZone& zone) {
    static const QRegularExpression shape(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2}(T\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}:\\d{2})?)?$"));
    if (text.size() > 40 || !shape.match(text).hasMatch()) {
        return std::nullopt;
    }
    QDateTime at;
    if (text.size() == 10) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (!date.isValid()) {
            return std::nullopt;
        }
        at = date.startOfDay(zone);
    } else {
        at = QDateTime::fromString(text, Qt::ISODateWithMs);
        if (!at.isValid()) {
            return std::nullopt;
        }
        if (at.timeSpec() == Qt::LocalTime) {
            at = QDateTime(at.date(), at.time(), zone);
        }
    }
    if (!at.isValid() || at.date().year() < 1970 || at.date().year() > 9999) {
        return std::nullopt;
    }
    return at;
}

bool validStationKey(const QString& key) {
    if (key.isEmpty() || key.size() > 256 || !key.contains(QLatin1Char('/')) ||
        key.startsWith(QLatin1Char('/')) || key.endsWith(QLatin1Char('/'))) {
        return false;
    }
    for (const QChar c : key) {
        if (c.category() == QChar::Other_Control || c == QLatin1Char('+') ||
            c == QLatin1Char('#')) {
            return false;
        }
    }
    return true;
}

QString eventsCsv(const QJsonArray& rows, const QTimeZone& zone) {
    QString text = QStringLiteral(
        "Обнаружено;Станция;Адрес;Реле;Зав. номер;Генератор;Выключатель;Время реле;Признак;"
        "Запись\r\n");
    auto when = [&](const QJsonValue& value, bool zoned) {
        if (!value.isString()) {
            return QString();
        }
        QDateTime at = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
        if (zoned) {
            at = at.toTimeZone(zone);
        }
        return at.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    };
    auto number = [](const QJsonValue& value) {
        return value.isDouble() ? QString::number(qint64(value.toDouble())) : QString();
    };
    for (const QJsonValue& item : rows) {
        const QJsonObject row = item.toObject();
        QStringList fields;
        fields << when(row.value(QStringLiteral("detected_at")), true)
               << csvField(row.value(QStringLiteral("station")).toString())
               << number(row.value(QStringLiteral("address")))
               << number(row.value(QStringLiteral("relay")))
               << number(row.value(QStringLiteral("serial")))
               << csvField(row.value(QStringLiteral("generator")).toString())
               << csvField(row.value(QStringLiteral("breaker")).toString())
               << when(row.value(QStringLiteral("event_time")), false)
               << csvField(row.value(QStringLiteral("sign_text")).toString())
               << number(row.value(QStringLiteral("record")));
        text += fields.join(QLatin1Char(';')) + QStringLiteral("\r\n");
    }
    return text;
}

QByteArray cookieValue(const QByteArray& header, const QByteArray& name) {
    for (QByteArray part : header.split(';')) {
        part = part.trimmed();
        const qsizetype eq = part.indexOf('=');
        if (eq > 0 && part.left(eq) == name) {
            return part.mid(eq + 1);
        }
    }
    return {};
}

QByteArray mimeFor(const QString& name) {
    if (name.endsWith(QLatin1String(".css"))) {
        return "text/css; charset=utf-8";
    }
    if (name.endsWith(QLatin1String(".js"))) {
        return "text/javascript; charset=utf-8";
    }
    if (name.endsWith(QLatin1String(".png"))) {
        return "image/png";
    }
    if (name.endsWith(QLatin1String(".svg"))) {
        return "image/svg+xml";
    }
    return "text/html; charset=utf-8";
}

}  // namespace

struct PlantWebServer::Answer {
    Status status = Status::Ok;
    QByteArray mime;
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers;

    static Answer json(const QJsonObject& object, Status status = Status::Ok) {
        return {
            status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
    }
    static Answer error(Status status, const QString& message) {
        return json(errorJson(message), status);
    }
};

PlantWebServer::PlantWebServer(WebSettings settings, PlantLiveState& live, PlantHistory* history,
                               QObject* parent)
    : QObject(parent), settings_(std::move(settings)), live_(live), history_(history) {
    pushTimer_.setSingleShot(true);
    pushTimer_.setInterval(kPushIntervalMs);
    connect(&pushTimer_, &QTimer::timeout, this, &PlantWebServer::pushUpdates);
    connect(&live_, &PlantLiveState::stationChanged, this, [this](const QString& key) {
        dirtyStations_.insert(key);
        if (!pushTimer_.isActive()) {
            pushTimer_.start();
        }
    });
    connect(&live_, &PlantLiveState::eventAdded, this, [this] {
        if (!pushTimer_.isActive()) {
            pushTimer_.start();
        }
    });
    connect(&live_, &PlantLiveState::brokerStateChanged, this, [this] {
        brokerDirty_ = true;
        if (!pushTimer_.isActive()) {
            pushTimer_.start();
        }
    });
    if (!live_.events().empty()) {
        lastPushedEvent_ = live_.events().back().sequence;
    }
}

PlantWebServer::~PlantWebServer() {
    for (QWebSocket* socket : sockets_) {
        socket->disconnect(this);
    }
}

int PlantWebServer::openConnections() const {
    return openCount_ ? openCount_() : 0;
}

QByteArray PlantWebServer::contentSecurityPolicy() {
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
           "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
}

QByteArray PlantWebServer::passwordLine(const QString& user, const QByteArray& password) {
    QByteArray salt(16, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(salt.data()),
                                         reinterpret_cast<quint32*>(salt.data() + salt.size()));
    const QByteArray key = QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password,
                                                              salt, kPbkdf2Iterations, kKeyBytes);
    return user.toUtf8() + ":pbkdf2-sha256$" + QByteArray::number(kPbkdf2Iterations) + '$' +
           salt.toBase64() + '$' + key.toBase64();
}

bool PlantWebServer::checkPassword(const QByteArray& hashField, const QByteArray& password) {
    const QList<QByteArray> parts = hashField.split('$');
    if (parts.size() != 4 || parts[0] != "pbkdf2-sha256") {
        return false;
    }
    bool ok = false;
    const int iterations = parts[1].toInt(&ok);
    const QByteArray salt = QByteArray::fromBase64(parts[2]);
    const QByteArray key = QByteArray::fromBase64(parts[3]);
    if (!ok || iterations < 1000 || iterations > 10000000 || salt.size() < 8 || key.isEmpty()) {
        return false;
    }
    const QByteArray derived = QPasswordDigestor::deriveKeyPbkdf2(
        QCryptographicHash::Sha256, password, salt, iterations, quint64(key.size()));
    unsigned char difference = 0;
    for (qsizetype i = 0; i < key.size(); ++i) {
        difference |= static_cast<unsigned char>(derived[i] ^ key[i]);
    }
    return derived.size() == key.size() && difference == 0;
}

bool PlantWebServer::readPasswordFile(QString* error) {
    users_.clear();
    if (settings_.passwordFile.isEmpty()) {
        return true;
    }
    QFile file(settings_.passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Файл паролей %1 не читается: %2")
                     .arg(settings_.passwordFile, file.errorString());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QByteArray line = file.readLine(4096).trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !line.mid(colon + 1).startsWith("pbkdf2-sha256$") ||
            line.mid(colon + 1).split('$').size() != 4) {
            *error = QStringLiteral(
                         "Файл паролей %1, строка %2: ожидается "
                         "«пользователь:pbkdf2-sha256$…»")
                         .arg(settings_.passwordFile)
                         .arg(lineNumber);
            return false;
        }
        users_[QString::fromUtf8(line.left(colon))] = line.mid(colon + 1);
    }
    if (users_.empty()) {
        *error = QStringLiteral("В файле паролей %1 нет ни одного пользователя")
                     .arg(settings_.passwordFile);
        return false;
    }
    return true;
}

bool PlantWebServer::start(QString* error) {
    if (!readPasswordFile(error)) {
        return false;
    }
    const QHostAddress address(settings_.address);
    if (address.isNull()) {
        *error = QStringLiteral("Неверный адрес веб-сервера «%1»").arg(settings_.address);
        return false;
    }
    if (settings_.port < 0 || settings_.port > 65535) {
        *error = QStringLiteral("Неверный порт веб-сервера %1").arg(settings_.port);
        return false;
    }
    server_ = std::make_unique<QHttpServer>();
    server_->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            handle(request, std::move(responder));
        });
    // Qt HTTP Server 6.4 hands a WebSocket upgrade over only when a route takes the request; the
    // route answers nothing itself then. Anything else on that path goes the common way.
    server_->route(QStringLiteral("/live"),
                   [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                       const bool upgrade =
                           request.method() == QHttpServerRequest::Method::Get &&
                           request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
                       if (!upgrade) {
                           handle(request, std::move(responder));
                       }
                   });
    connect(server_.get(), &QAbstractHttpServer::newWebSocketConnection, this,
            &PlantWebServer::takeWebSockets);

    QTcpServer* listener = nullptr;
    const int limit = qMax(1, settings_.maxConnections);
    if (settings_.tls()) {
        QFile certificateFile(settings_.certificateFile);
        QFile keyFile(settings_.keyFile);
        if (!certificateFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("Сертификат %1 не читается: %2")
                         .arg(settings_.certificateFile, certificateFile.errorString());
            return false;
        }
        if (!keyFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("Ключ %1 не читается: %2")
                         .arg(settings_.keyFile, keyFile.errorString());
            return false;
        }
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateFile.readAll());
        const QByteArray keyPem = keyFile.readAll();
        QSslKey key(keyPem, QSsl::Rsa);
        if (key.isNull()) {
            key = QSslKey(keyPem, QSsl::Ec);
        }
        if (chain.isEmpty() || key.isNull()) {
            *error = QStringLiteral("Сертификат %1 или ключ %2 не распознан (ожидается PEM)")
                         .arg(settings_.certificateFile, settings_.keyFile);
            return false;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        auto* ssl = new LimitedServer<QSslServer>(limit);
        openCount_ = [ssl] { return ssl->open(); };
        ssl->setSslConfiguration(configuration);
        ssl->setHandshakeTimeout(10000);
        listener = ssl;
    } else {
        auto* tcp = new LimitedServer<QTcpServer>(limit);
        openCount_ = [tcp] { return tcp->open(); };
        listener = tcp;
    }
    if (!listener->listen(address, quint16(settings_.port))) {
        *error = QStringLiteral("Веб-сервер не может слушать %1:%2: %3")
                     .arg(settings_.address)
                     .arg(settings_.port)
                     .arg(listener->errorString());
        openCount_ = {};
        delete listener;
        return false;
    }
    port_ = listener->serverPort();
    server_->bind(listener);  // the HTTP server owns it from here
    return true;
}

std::optional<QString> PlantWebServer::sessionUser(const QByteArray& cookieHeader) {
    const QByteArray token = cookieValue(cookieHeader, kCookieName);
    if (token.isEmpty()) {
        return std::nullopt;
    }
    const auto found = sessions_.find(token);
    if (found == sessions_.end()) {
        return std::nullopt;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (found->second.lastUsed.secsTo(now) > kSessionIdleSeconds) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.lastUsed = now;
    return found->second.user;
}

void PlantWebServer::handle(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    Answer answer = route(request);
    QHttpServerResponse response(answer.mime, answer.body, answer.status);
    response.addHeader("Content-Security-Policy", contentSecurityPolicy());
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("X-Frame-Options", "DENY");
    response.addHeader("Referrer-Policy", "no-referrer");
    response.addHeader("Cache-Control", "no-store");
    if (settings_.tls()) {
        response.addHeader("Strict-Transport-Security", "max-age=31536000");
    }
    for (auto& [name, value] : answer.headers) {
        response.addHeader(name, value);
    }
    response.write(std::move(responder));
}

PlantWebServer::Answer PlantWebServer::route(const QHttpServerRequest& request) {
    // On loopback only this computer's browsers are served, under this computer's names: a page
    // of another site that has its own name resolve to 127.0.0.1 (DNS rebinding) gets nothing.
    if (QHostAddress(settings_.address).isLoopback()) {
        const QByteArray host = request.value("host").toLower();
        const QByteArray port = ':' + QByteArray::number(port_);
        if (host != "127.0.0.1" + port && host != "localhost" + port && host != "[::1]" + port) {
            return Answer::error(Status::Forbidden,
                                 QStringLiteral("Веб-просмотр на этом компьютере открывается "
                                                "по адресу 127.0.0.1 или localhost"));
        }
    }
    const QString path = request.url().path();
    const bool signInPath = path == QLatin1String("/login") || path == QLatin1String("/logout");
    const bool auth = !users_.empty();
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get &&
        !(auth && signInPath && method == QHttpServerRequest::Method::Post)) {
        Answer answer = Answer::error(Status::MethodNotAllowed,
                                      QStringLiteral("Метод не разрешён: вид только для чтения"));
        answer.headers.emplace_back("Allow", auth && signInPath ? "GET, POST" : "GET");
        return answer;
    }
    if (auth && path == QLatin1String("/login")) {
        return method == QHttpServerRequest::Method::Post ? signIn(request) : page(path);
    }
    if (auth && path == QLatin1String("/logout")) {
        return signOut(request);
    }
    // The sign-in form's own style and script are all a stranger gets.
    const bool open =
        path == QLatin1String("/static/style.css") || path == QLatin1String("/static/login.js");
    if (auth && !open && !sessionUser(request.value("Cookie"))) {
        if (path.startsWith(QLatin1String("/api/"))) {
            return Answer::error(Status::Unauthorized, QStringLiteral("Требуется вход"));
        }
        Answer answer{Status::SeeOther, "text/plain; charset=utf-8", "", {}};
        answer.headers.emplace_back("Location", "/login");
        return answer;
    }
    if (path.startsWith(QLatin1String("/api/"))) {
        return api(path, request.query());
    }
    if (!request.query().isEmpty() && path != QLatin1String("/relay") &&
        path != QLatin1String("/alarms")) {
        return Answer::error(Status::BadRequest,
                             QStringLiteral("Страница не принимает параметров"));
    }
    return page(path);
}

PlantWebServer::Answer PlantWebServer::page(const QString& path) {
    static const std::map<QString, QString> pages = {
        {QStringLiteral("/"), QStringLiteral("stations.html")},
        {QStringLiteral("/stations"), QStringLiteral("stations.html")},
        {QStringLiteral("/alarms"), QStringLiteral("alarms.html")},
        {QStringLiteral("/relay"), QStringLiteral("relay.html")},
        {QStringLiteral("/login"), QStringLiteral("login.html")},
    };
    QString resource;
    if (const auto found = pages.find(path); found != pages.end()) {
        resource = QStringLiteral(":/plantweb/") + found->second;
    } else if (path.startsWith(QLatin1String("/static/"))) {
        static const QRegularExpression name(
            QStringLiteral("^[a-z0-9_-]{1,40}(\\.min)?\\.(css|js|png|svg)$"));
        const QString file = path.mid(8);
        if (name.match(file).hasMatch()) {
            resource = QStringLiteral(":/plantweb/static/") + file;
        }
    }
    QFile file(resource);
    if (resource.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return Answer::error(Status::NotFound, QStringLiteral("Страница не найдена"));
    }
    return {Status::Ok, mimeFor(resource), file.readAll(), {}};
}

PlantWebServer::Answer PlantWebServer::signIn(const QHttpServerRequest& request) {
    // Guessing passwords from one address is slowed to a handful of tries per quarter hour.
    const QString from = request.remoteAddress().toString();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    auto& tries = failedSignIns_[from];
    while (!tries.empty() && tries.front().secsTo(now) > kSignInWindowSeconds) {
        tries.pop_front();
    }
    if (int(tries.size()) >= kSignInTries) {
        const qint64 wait = kSignInWindowSeconds - tries.front().secsTo(now);
        Answer answer = Answer::error(
            Status::TooManyRequests,
            QStringLiteral("Слишком много неудачных попыток входа: повторите через %1 мин")
                .arg((wait + 59) / 60));
        answer.headers.emplace_back("Retry-After", QByteArray::number(wait));
        return answer;
    }
    QByteArray body = request.body();
    if (body.size() > 4096) {
        return Answer::error(Status::PayloadTooLarge, QStringLiteral("Слишком длинный запрос"));
    }
    // A form's spaces come as "+", its pluses as %2B.
    body.replace('+', "%20");
    const QUrlQuery form(QString::fromLatin1(body));
    const QString user = form.queryItemValue(QStringLiteral("user"), QUrl::FullyDecoded);
    const QByteArray password =
        form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded).toUtf8();
    const auto found = users_.find(user);
    // A user that does not exist costs the same time as a wrong password.
    const bool good = found != users_.end()
                          ? checkPassword(found->second, password)
                          : (checkPassword(users_.begin()->second, password + '\x01'), false);
    if (!good) {
        tries.push_back(now);
        if (failedSignIns_.size() > 10000) {
            failedSignIns_.clear();  // a flood from many addresses must not grow without end
        }
        Answer answer{Status::SeeOther, "text/plain; charset=utf-8", "", {}};
        answer.headers.emplace_back("Location", "/login?failed=1");
        return answer;
    }
    while (int(sessions_.size()) >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->second.lastUsed < oldest->second.lastUsed) {
                oldest = it;
            }
        }
        sessions_.erase(oldest);
    }
    QByteArray random(32, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(random.data()),
                                         reinterpret_cast<quint32*>(random.data() + random.size()));
    const QByteArray token =
        random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    sessions_[token] = Session{user, QDateTime::currentDateTimeUtc()};
    Answer answer{Status::SeeOther, "text/plain; charset=utf-8", "", {}};
    answer.headers.emplace_back("Location", "/");
    answer.headers.emplace_back("Set-Cookie", kCookieName + '=' + token +
                                                  "; Path=/; HttpOnly; SameSite=Strict" +
                                                  (settings_.tls() ? "; Secure" : ""));
    return answer;
}

PlantWebServer::Answer PlantWebServer::signOut(const QHttpServerRequest& request) {
    if (request.method() != QHttpServerRequest::Method::Post) {
        Answer answer = Answer::error(Status::MethodNotAllowed,
                                      QStringLiteral("Выход — только кнопкой «Выйти»"));
        answer.headers.emplace_back("Allow", "POST");
        return answer;
    }
    sessions_.erase(cookieValue(request.value("Cookie"), kCookieName));
    Answer answer{Status::SeeOther, "text/plain; charset=utf-8", "", {}};
    answer.headers.emplace_back("Location", "/login");
    answer.headers.emplace_back("Set-Cookie", kCookieName +
                                                  "=; Path=/; Max-Age=0; HttpOnly; "
                                                  "SameSite=Strict" +
                                                  (settings_.tls() ? "; Secure" : ""));
    return answer;
}

QJsonObject PlantWebServer::brokerJson() const {
    return QJsonObject{{QStringLiteral("connected"), live_.brokerConnected()},
                       {QStringLiteral("reason"), live_.brokerReason()}};
}

QJsonObject PlantWebServer::snapshot() const {
    QJsonArray stations;
    for (const auto& [key, station] : live_.stations()) {
        stations.append(PlantLiveState::stationJson(key, station));
    }
    QJsonArray events;
    for (const PlantLiveState::Event& event : live_.events()) {
        events.append(PlantLiveState::eventJson(event));
    }
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("snapshot")},
        {QStringLiteral("server_time"),
         QDateTime::currentDateTime().toTimeZone(zone_).toString(Qt::ISODateWithMs)},
        {QStringLiteral("broker"), brokerJson()},
        {QStringLiteral("history"), history_ != nullptr},
        {QStringLiteral("auth"), !users_.empty()},
        {QStringLiteral("stations"), stations},
        {QStringLiteral("events"), events},
    };
}

PlantWebServer::Answer PlantWebServer::api(const QString& path, const QUrlQuery& query) {
    const bool csv = path == QLatin1String("/api/events.csv");
    const bool eventList =
        path == QLatin1String("/api/events") || csv || path == QLatin1String("/api/alarm_changes");
    const bool samples = path == QLatin1String("/api/samples");
    const bool relayInfo = path == QLatin1String("/api/relay");
    const bool link = path == QLatin1String("/api/link");
    const bool alarms = path == QLatin1String("/api/alarms");
    if (path == QLatin1String("/api/stations")) {
        if (!query.isEmpty()) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Список станций не принимает параметров"));
        }
        return Answer::json(snapshot());
    }
    if (!eventList && !samples && !relayInfo && !link && !alarms) {
        return Answer::error(Status::NotFound, QStringLiteral("Нет такого запроса: %1").arg(path));
    }
    Params params = eventList ? Params(query, {"station", "relay", "from", "to", "limit", "offset"})
                    : samples ? Params(query, {"station", "relay", "from", "to"})
                    : link    ? Params(query, {"station", "from", "to", "limit", "offset"})
                              : Params(query, {"station", "relay"});
    if (!params.error.isEmpty()) {
        return Answer::error(Status::BadRequest, params.error);
    }
    // The station and relay.
    std::optional<QString> stationKey;
    std::optional<int> address;
    if (params.has("station")) {
        stationKey = params.value("station");
        if (!validStationKey(*stationKey)) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Неверное имя станции: ожидается "
                                                "«префикс/станция»"));
        }
    } else if (samples || relayInfo || link) {
        return Answer::error(Status::BadRequest, QStringLiteral("Не задана станция (station)"));
    }
    if (params.has("relay")) {
        address = parseInt(params.value("relay"), 0, PlantLiveState::kMaxAddress);
        if (!address) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Неверный адрес реле «%1»: ожидается число от 0 "
                                                "до %2")
                                     .arg(params.value("relay").left(20))
                                     .arg(PlantLiveState::kMaxAddress));
        }
        if (!stationKey) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Адрес реле задаётся вместе со станцией"));
        }
    } else if (samples || relayInfo) {
        return Answer::error(Status::BadRequest, QStringLiteral("Не задан адрес реле (relay)"));
    }
    // The period, the page.
    const QDateTime now = QDateTime::currentDateTime().toTimeZone(zone_);
    QDateTime to = now;
    QDateTime from = samples ? now.addDays(-1) : now.addDays(-30);
    for (const char* name : {"from", "to"}) {
        if (!params.has(name)) {
            continue;
        }
        const std::optional<QDateTime> at = parseTime(params.value(name), zone_);
        if (!at) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Неверная дата «%1»: ожидается "
                                                "ГГГГ-ММ-ДД или ГГГГ-ММ-ДДTчч:мм[:сс]")
                                     .arg(params.value(name).left(40)));
        }
        (qstrcmp(name, "from") == 0 ? from : to) = *at;
    }
    if (params.has("to") && !params.has("from")) {
        from = samples ? to.addDays(-1) : to.addDays(-30);
    }
    if (from >= to) {
        return Answer::error(Status::BadRequest,
                             QStringLiteral("Начало периода должно быть раньше его конца"));
    }
    if (from.secsTo(to) > qint64(settings_.maxSpanDays) * 86400) {
        return Answer::error(
            Status::BadRequest,
            QStringLiteral("Период длиннее %1 сут.: выберите короче").arg(settings_.maxSpanDays));
    }
    PlantHistory::Filter filter;
    filter.from = from;
    filter.to = to;
    filter.limit = csv ? kMaxCsvRows : 200;
    if (params.has("limit")) {
        const std::optional<int> limit =
            parseInt(params.value("limit"), 1, csv ? kMaxCsvRows : 1000);
        if (!limit) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Неверное число строк «%1»: от 1 до %2")
                                     .arg(params.value("limit").left(20))
                                     .arg(csv ? kMaxCsvRows : 1000));
        }
        filter.limit = *limit;
    }
    if (params.has("offset")) {
        const std::optional<int> offset = parseInt(params.value("offset"), 0, 1000000);
        if (!offset) {
            return Answer::error(Status::BadRequest,
                                 QStringLiteral("Неверный сдвиг «%1»: от 0 до 1000000")
                                     .arg(params.value("offset").left(20)));
        }
        filter.offset = *offset;
    }

    if (alarms) {
        // The alarms standing now, from the live state.
        QJsonArray rows;
        auto add = [&](const QString& key, const PlantLiveState::Station& station) {
            for (const auto& [id, alarm] : station.alarms) {
                if (address && alarm.value(QStringLiteral("address")).toInt(-1) != *address) {
                    continue;
                }
                QJsonObject row = alarm;
                row.insert(QStringLiteral("station"), key);
                rows.append(row);
            }
        };
        if (stationKey) {
            const PlantLiveState::Station* station = live_.station(*stationKey);
            if (!station) {
                return Answer::error(Status::NotFound,
                                     QStringLiteral("Станция «%1» не найдена").arg(*stationKey));
            }
            if (address && !station->relays.count(*address)) {
                return Answer::error(Status::NotFound, QStringLiteral("Реле с адресом %1 на «%2» "
                                                                      "не найдено")
                                                           .arg(*address)
                                                           .arg(*stationKey));
            }
            add(*stationKey, *station);
        } else {
            for (const auto& [key, station] : live_.stations()) {
                add(key, station);
            }
        }
        return Answer::json(QJsonObject{{QStringLiteral("alarms"), rows}});
    }

    if (!history_) {
        return Answer::error(Status::ServiceUnavailable,
                             QStringLiteral("Архив не подключён: программа запущена без базы "
                                            "данных"));
    }
    QString error;
    std::optional<PlantHistory::Relay> relay;
    if (stationKey) {
        const qsizetype slash = stationKey->lastIndexOf(QLatin1Char('/'));
        filter.stationId =
            history_->stationId(stationKey->left(slash), stationKey->mid(slash + 1), &error);
        if (!error.isEmpty()) {
            return Answer::error(Status::ServiceUnavailable, error);
        }
        if (!filter.stationId) {
            return Answer::error(Status::NotFound,
                                 QStringLiteral("Станция «%1» не найдена").arg(*stationKey));
        }
        if (address) {
            relay = history_->relay(*filter.stationId, *address, &error);
            if (!error.isEmpty()) {
                return Answer::error(Status::ServiceUnavailable, error);
            }
            if (!relay) {
                return Answer::error(Status::NotFound, QStringLiteral("Реле с адресом %1 на «%2» "
                                                                      "не найдено")
                                                           .arg(*address)
                                                           .arg(*stationKey));
            }
            filter.relayId = relay->id;
        }
    }
    QJsonObject result;
    if (relayInfo) {
        result = relay->row;
        result.insert(QStringLiteral("station"), *stationKey);
        return Answer::json(result);
    }
    if (samples) {
        std::optional<QJsonObject> points = history_->samples(relay->id, from, to, &error);
        if (!points) {
            return Answer::error(Status::ServiceUnavailable, error);
        }
        result = *points;
        result.insert(QStringLiteral("relay"), relay->row);
    } else {
        const std::optional<QJsonArray> rows = link ? history_->linkHistory(filter, &error)
                                               : path == QLatin1String("/api/alarm_changes")
                                                   ? history_->alarmChanges(filter, &error)
                                                   : history_->events(filter, &error);
        if (!rows) {
            return Answer::error(Status::ServiceUnavailable, error);
        }
        if (csv) {
            Answer answer{Status::Ok,
                          "text/csv; charset=utf-8",
                          "\xEF\xBB\xBF" + eventsCsv(*rows, zone_).toUtf8(),
                          {}};
            answer.headers.emplace_back(
                "Content-Disposition",
                "attachment; filename=\"events-" +
                    now.toString(QStringLiteral("yyyyMMdd-HHmmss")).toLatin1() + ".csv\"");
            return answer;
        }
        result.insert(QStringLiteral("rows"), *rows);
    }
    result.insert(QStringLiteral("from"), from.toString(Qt::ISODateWithMs));
    result.insert(QStringLiteral("to"), to.toString(Qt::ISODateWithMs));
    return Answer::json(result);
}

void PlantWebServer::takeWebSockets() {
    while (server_->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> owned = server_->nextPendingWebSocketConnection();
        if (!owned) {
            break;
        }
        QWebSocket* socket = owned.release();
        socket->setParent(this);
        const QNetworkRequest request = socket->request();
        // Another site's page must not read the plant through a visitor's browser: the origin has
        // to be this server, and with sign-in the session has to be valid.
        const QByteArray host = request.rawHeader("Host");
        const QString origin = socket->origin();
        const bool sameOrigin = origin == QStringLiteral("http://") + QString::fromLatin1(host) ||
                                origin == QStringLiteral("https://") + QString::fromLatin1(host);
        const bool signedIn = users_.empty() || sessionUser(request.rawHeader("Cookie"));
        if (socket->requestUrl().path() != QLatin1String("/live") || !sameOrigin || !signedIn) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("not allowed"));
            socket->deleteLater();
            continue;
        }
        // What the page sends is not read: the view takes no commands, nor large frames.
        socket->setMaxAllowedIncomingFrameSize(4096);
        socket->setMaxAllowedIncomingMessageSize(4096);
        sockets_.push_back(socket);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            std::erase(sockets_, socket);
            socket->deleteLater();
        });
        socket->sendTextMessage(
            QString::fromUtf8(QJsonDocument(snapshot()).toJson(QJsonDocument::Compact)));
    }
}

void PlantWebServer::pushUpdates() {
    QJsonArray stations;
    for (const QString& key : std::as_const(dirtyStations_)) {
        if (const PlantLiveState::Station* station = live_.station(key)) {
            stations.append(PlantLiveState::stationJson(key, *station));
        }
    }
    dirtyStations_.clear();
    QJsonArray events;
    for (const PlantLiveState::Event& event : live_.events()) {
        if (event.sequence > lastPushedEvent_) {
            events.append(PlantLiveState::eventJson(event));
        }
    }
    if (!live_.events().empty()) {
        lastPushedEvent_ = live_.events().back().sequence;
    }
    QJsonObject update{
        {QStringLiteral("type"), QStringLiteral("update")},
        {QStringLiteral("server_time"),
         QDateTime::currentDateTime().toTimeZone(zone_).toString(Qt::ISODateWithMs)},
        {QStringLiteral("stations"), stations},
        {QStringLiteral("events"), events},
    };
    if (brokerDirty_) {
        update.insert(QStringLiteral("broker"), brokerJson());
        brokerDirty_ = false;
    }
    const QString text = QString::fromUtf8(QJsonDocument(update).toJson(QJsonDocument::Compact));
    // A copy: letting a socket go takes it out of sockets_ at once.
    const std::vector<QWebSocket*> clients = sockets_;
    for (QWebSocket* socket : clients) {
        // A page that stopped reading (a frozen tab, a dead link) is let go instead of having its
        // updates pile up in memory; once back, it reconnects and starts from a snapshot.
        if (socket->bytesToWrite() > kMaxUnsentBytes) {
            socket->abort();
            continue;
        }
        socket->sendTextMessage(text);
    }
}

}  // namespace terval
