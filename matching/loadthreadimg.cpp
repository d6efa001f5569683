#include "loadthreadimg.h"

#include <QBuffer>
#include <QDebug>
#include <QEventLoop>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <opencv2/core/utility.hpp>

#include <memory>

namespace {
std::atomic_int pictureTimeLimitOverride{0};
}

void CLoadThreadImg::setPictureTimeLimitForTesting(int milliseconds)
{
    pictureTimeLimitOverride = milliseconds;
}

int CLoadThreadImg::pictureTimeLimit()
{
    const int override = pictureTimeLimitOverride;
    return override > 0 ? override : pictureTimeLimitMs;
}

CLoadThreadImg::CLoadThreadImg(const QImage &referencePicture, QObject *parent)
    : QThread(parent), reference(referencePicture)
{
    // Thirty-two workers already fill every core; OpenCV's own pool would only add switching.
    cv::setNumThreads(1);
    qRegisterMetaType<CMatchEvidence>();
    // Shared, not copied: the model only reads it, and the evidence of every match refers to it.
    matcher.setReference(reference);
}

CLoadThreadImg::~CLoadThreadImg()
{
    slotStop();
    wait();
}

void CLoadThreadImg::slotStop()
{
    stopRequested = true;
    emit signalStop();
}

bool CLoadThreadImg::download(QNetworkAccessManager &network, const QString &url, QByteArray *data)
{
    QNetworkRequest request{QUrl(url)};
    request.setMaximumRedirectsAllowed(maxRedirects);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    // Past the bound the socket is no longer read, so a body that never ends costs no memory.
    reply->setReadBufferSize(maxPictureBytes + 1);

    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    bool tooLarge = false;
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &CLoadThreadImg::signalStop, &loop, &QEventLoop::quit);
    const auto giveUpWhenTooLarge = [&](qint64 received, qint64 total) {
        if (received > maxPictureBytes || total > maxPictureBytes) {
            tooLarge = true;
            loop.quit();
        }
    };
    // The announced length counts as soon as the headers are in, before any of the body.
    connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        giveUpWhenTooLarge(0, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(reply.get(), &QNetworkReply::downloadProgress, &loop, giveUpWhenTooLarge);
    timer.start(pictureTimeLimit());
    // A stop that came before the connection above was made is seen here.
    if (!stopRequested && !tooLarge && !reply->isFinished())
        loop.exec();
    if (tooLarge)
        return false;
    *data = reply->read(maxPictureBytes);
    reply->abort();
    return true;
}

QImage CLoadThreadImg::decode(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize declared = reader.size();
    if (declared.isValid()
        && (declared.width() > maxPictureSide || declared.height() > maxPictureSide
            || qint64(declared.width()) * declared.height() > maxPicturePixels)) {
        qDebug() << "picture too large:" << declared.width() << "by" << declared.height();
        return {};
    }
    QImage picture = reader.read();
    if (picture.isNull())
        qDebug("load error");
    return picture;
}

void CLoadThreadImg::run()
{
    QNetworkAccessManager network;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        emit signalBeep();
        if (stopRequested)
            break;
        QByteArray data;
        const bool arrived = download(network, candidates[i].imageUrl, &data);
        if (stopRequested)
            break;
        const QImage picture = arrived ? decode(data) : QImage();
        data.clear();
        if (picture.width() < minPictureSide || picture.height() < minPictureSide) {
            candidates.removeAt(i--);
            continue;
        }
        const QImage converted = picture.convertToFormat(QImage::Format_RGB32);
        emit signalOutMiniImg(converted);
        field_ready &record = candidates[i];
        if (!record.skipCompare && !matcher.compareImage(converted)) {
            candidates.removeAt(i--);
            continue;
        }
        record.image = picture;
        record.score = record.kind > 0 ? (10 - record.kind) * 100 : matcher.agreeCount();
        if (!record.skipCompare)
            record.evidence = matcher.evidence();
        emit signalOutImg(picture, record.pageUrl, record.source, record.domain, record.kind, record.evidence);
    }
    emit signalFinish(&candidates);
}
