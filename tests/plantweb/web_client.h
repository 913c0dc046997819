#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <chrono>

#include "support/wait_until.h"

namespace terval::testing {

// An HTTP exchange with the server under test, run in the test's own event loop (the server lives
// on the same thread), with a deadline.
struct WebAnswer {
    int status = 0;  // 0: no answer
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    QByteArray header(const QByteArray& name) const {
        for (const auto& [key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0) {
                return value;
            }
        }
        return {};
    }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

inline WebAnswer webRequest(QNetworkAccessManager& manager, const QUrl& url,
                            const QByteArray& method = "GET", const QByteArray& body = {},
                            const QByteArray& cookie = {}) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!cookie.isEmpty()) {
        request.setRawHeader("Cookie", cookie);
    }
    if (method == "POST") {
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    }
    QNetworkReply* reply =
        method == "GET" ? manager.get(request) : manager.sendCustomRequest(request, method, body);
    // The tests' servers have certificates of their own making.
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply] { reply->ignoreSslErrors(); });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(std::chrono::milliseconds(15000 * timeScale()), &loop, &QEventLoop::quit);
    loop.exec();
    WebAnswer answer;
    if (reply->isFinished()) {
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        answer.headers = reply->rawHeaderPairs();
    } else {
        reply->abort();
    }
    reply->deleteLater();
    return answer;
}

// Runs the event loop until `condition` holds or the deadline (scaled) passes.
template <typename Condition>
bool spinUntil(Condition condition, std::chrono::milliseconds timeout) {
    QEventLoop loop;
    return waitUntil(
        [&] {
            loop.processEvents(QEventLoop::AllEvents, 10);
            return condition();
        },
        timeout, std::chrono::milliseconds(1));
}

}  // namespace terval::testing
