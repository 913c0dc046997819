#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QTcpServer>

#include "plantweb/web_client.h"

namespace terval::testing {

// Headless Chromium through chromedriver's W3C WebDriver API, from the test's own thread: every
// command runs the event loop while it waits, so that a server in the same process answers the
// browser meanwhile.
class WebDriver {
  public:
    ~WebDriver() {
        if (!session_.isEmpty()) {
            command("DELETE", QString());
        }
        if (driver_.state() != QProcess::NotRunning) {
            driver_.terminate();
            if (!driver_.waitForFinished(5000)) {
                driver_.kill();
                driver_.waitForFinished(5000);
            }
        }
    }

    bool start(int width, int height, QString* error) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
        driver_.setProcessChannelMode(QProcess::MergedChannels);
        driver_.start(QStringLiteral("chromedriver"), {QStringLiteral("--port=%1").arg(port_)});
        if (!driver_.waitForStarted(10000)) {
            *error = QStringLiteral("chromedriver не запустился: ") + driver_.errorString();
            return false;
        }
        const bool up = spinUntil(
            [&] {
                const WebAnswer status = webRequest(manager_, url(QStringLiteral("/status")));
                return status.status == 200;
            },
            std::chrono::milliseconds(20000));
        if (!up) {
            *error = QStringLiteral("chromedriver не отвечает: ") +
                     QString::fromLocal8Bit(driver_.readAll());
            return false;
        }
        const QJsonObject capabilities{
            {"alwaysMatch",
             QJsonObject{
                 {"browserName", "chrome"},
                 {"goog:chromeOptions",
                  QJsonObject{
                      {"binary", "/usr/bin/chromium"},
                      {"args",
                       QJsonArray{
                           "--headless=new", "--no-sandbox", "--disable-gpu",
                           "--disable-dev-shm-usage", "--lang=ru-RU", "--hide-scrollbars",
                           QStringLiteral("--window-size=%1,%2").arg(width).arg(height)}}}}}}};
        const QJsonObject answer =
            post(QStringLiteral("/session"), QJsonObject{{"capabilities", capabilities}});
        session_ = answer.value("value").toObject().value("sessionId").toString();
        if (session_.isEmpty()) {
            *error = QStringLiteral("Сеанс браузера не открылся: ") +
                     QString::fromUtf8(QJsonDocument(answer).toJson());
            return false;
        }
        return true;
    }

    // The viewport is what the page lays out in: the window is grown until it is exactly that.
    void setViewport(int width, int height) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const QJsonArray inner =
                run("return [window.innerWidth, window.innerHeight, window.outerWidth, "
                    "window.outerHeight];")
                    .toArray();
            const int dw = inner[2].toInt() - inner[0].toInt();
            const int dh = inner[3].toInt() - inner[1].toInt();
            if (inner[0].toInt() == width && inner[1].toInt() == height) {
                return;
            }
            post(sessionPath("/window/rect"),
                 QJsonObject{{"width", width + qMax(0, dw)}, {"height", height + qMax(0, dh)}});
        }
    }
    void go(const QString& address) { post(sessionPath("/url"), QJsonObject{{"url", address}}); }
    QJsonValue run(const QString& script, const QJsonArray& args = {}) {
        return post(sessionPath("/execute/sync"), QJsonObject{{"script", script}, {"args", args}})
            .value("value");
    }
    QByteArray screenshot() {
        const WebAnswer answer = webRequest(manager_, url(sessionPath("/screenshot")));
        return QByteArray::fromBase64(answer.json().value("value").toString().toLatin1());
    }
    // Waits (the event loop running) until the script returns true.
    bool waitFor(const QString& script, std::chrono::milliseconds timeout) {
        return spinUntil([&] { return run(script).toBool(); }, timeout);
    }

  private:
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
    }
    QString sessionPath(const QString& tail) const {
        return QStringLiteral("/session/") + session_ + tail;
    }
    QJsonObject post(const QString& path, const QJsonObject& body) {
        QNetworkRequest request(url(path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply =
            manager_.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(std::chrono::milliseconds(60000 * timeScale()), &loop,
                           &QEventLoop::quit);
        loop.exec();
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return answer;
    }
    void command(const QByteArray& method, const QString& tail) {
        webRequest(manager_, url(sessionPath(tail)), method);
    }

    QProcess driver_;
    quint16 port_ = 0;
    QString session_;
    QNetworkAccessManager manager_;
};

}  // namespace terval::testing
