#pragma once

#include "field_ready.h"
#include "stampmatcher.h"

#include <QImage>
#include <QThread>
#include <QVector>

#include <atomic>

class QNetworkAccessManager;

// One of the download-and-compare workers of a search. Before it starts, the search deals it its
// share of the candidates; it then downloads each picture in turn (10 seconds at most), compares it
// with its own copy of the user's stamp, and reports every picture it compares, every match, and
// at the end its list, which then holds just the matches (and, after a stop, the candidates it had
// not yet taken up). Workers share nothing; the GUI thread touches only the stop flag.
class CLoadThreadImg : public QThread
{
    Q_OBJECT
public:
    // The longest wait for one picture.
    static constexpr int pictureTimeLimitMs = 10000;
    // A reply longer than this is given up: no stamp picture is that large.
    static constexpr qint64 maxPictureBytes = 20 * 1024 * 1024;
    // A picture whose header declares more is refused before it is decoded (decompression bombs).
    static constexpr int maxPictureSide = 10000;
    static constexpr qint64 maxPicturePixels = 25'000'000;
    static constexpr int maxRedirects = 5;
    // Smaller pictures are no stamp pictures (icons, spacers).
    static constexpr int minPictureSide = 20;

    // A downloaded picture decoded as a worker does it: the format read from the data, refused
    // before decoding when its header declares more than the limits; null when it cannot be read.
    static QImage decode(const QByteArray &data);

    // Test hook: shortens (or, with 0 or less, restores) the picture time limit for every worker.
    static void setPictureTimeLimitForTesting(int milliseconds);
    static int pictureTimeLimit();

    // Builds the comparison model from reference on the calling thread.
    CLoadThreadImg(const QImage &reference, QObject *parent);
    // Stops and joins the thread first, so a worker can be deleted at any time.
    ~CLoadThreadImg() override;

    // Filled before start(); read by the receiver of signalFinish afterwards.
    QVector<field_ready> candidates;

signals:
    void signalOutMiniImg(const QImage &picture);
    void signalOutImg(const QImage &picture, const QString &pageUrl, const QString &source,
                      const QString &domain, int kind, const CMatchEvidence &evidence);
    void signalBeep();
    void signalFinish(QVector<field_ready> *list);
    void signalStop();

public slots:
    // Callable from any thread: the current wait ends at once and no further candidate is taken up.
    void slotStop();

protected:
    void run() override;

private:
    // The picture's bytes as far as they arrived in time; false when the reply grew too large.
    bool download(QNetworkAccessManager &network, const QString &url, QByteArray *data);

    CStampMatcher matcher;
    QImage reference;
    std::atomic_bool stopRequested{false};
};
