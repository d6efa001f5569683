#include "updatecheck.h"

#include <QList>
#include <QNetworkReply>

namespace {
constexpr char headProperty[] = "quilletAnswerHead";
constexpr char cutProperty[] = "quilletAnswerCut";

void takeAvailable(QNetworkReply *reply)
{
    QByteArray head = reply->property(headProperty).toByteArray();
    head += reply->read(CUpdateCheck::maxAnswer - head.size());
    reply->setProperty(headProperty, head);
    if (head.size() >= CUpdateCheck::maxAnswer && reply->bytesAvailable() > 0 && !reply->isFinished()) {
        reply->setProperty(cutProperty, true);
        reply->abort();
    }
}
} // namespace

void CUpdateCheck::watch(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { takeAvailable(reply); });
}

bool CUpdateCheck::isNewer(QNetworkReply *reply, int own)
{
    const bool cut = reply->property(cutProperty).toBool();
    if (reply->error() != QNetworkReply::NoError && !cut)
        return false;
    if (!cut)
        takeAvailable(reply);
    return isNewer(reply->property(headProperty).toByteArray(), own);
}

bool CUpdateCheck::isNewer(const QByteArray &answer, int own)
{
    const QList<QByteArray> fields = answer.split(',');
    if (fields.isEmpty())
        return false;
    bool ok = false;
    const qlonglong newest = fields.first().toLongLong(&ok, 16);
    return ok && newest > own;
}
