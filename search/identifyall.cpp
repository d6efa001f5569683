#include "identifyall.h"

#include "recognitionclient.h"
#include "searchreport.h"
#include "sendgethttprequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

CIdentifyAll::CIdentifyAll(QObject *parent)
    : QObject(parent), m_client(new CRecognitionClient(this)), m_manager(new QNetworkAccessManager(this))
{
}

CIdentifyAll::~CIdentifyAll()
{
    // Replies outlive nothing of ours: their handlers look at the lists being destroyed.
    for (QNetworkReply *reply : std::as_const(m_replies)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void CIdentifyAll::start(const QList<QByteArray> &uploads)
{
    stop();
    m_uploads = uploads;
    m_states = QVector<State>(uploads.size(), Waiting);
    m_answers = QVector<CRecognitionAnswer>(uploads.size());
    m_next = 0;
    m_running = true;
    for (int i = 0; i < parallel; ++i)
        askNext();
    if (m_uploads.isEmpty()) {
        m_running = false;
        emit signalFinished();
    }
}

void CIdentifyAll::stop()
{
    if (!m_running)
        return;
    m_running = false;
    for (QNetworkReply *reply : std::exchange(m_replies, {})) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    for (int i = 0; i < m_states.size(); ++i) {
        if (m_states.at(i) == Waiting || m_states.at(i) == Asking) {
            m_states[i] = Stopped;
            emit signalStampChanged(i);
        }
    }
    emit signalFinished();
}

int CIdentifyAll::doneCount() const
{
    return int(std::count_if(m_states.cbegin(), m_states.cend(),
                             [](State state) { return state != Waiting && state != Asking; }));
}

void CIdentifyAll::askNext()
{
    if (!m_running || m_next >= m_uploads.size())
        return;
    const int index = m_next++;
    const QByteArray &upload = m_uploads.at(index);
    QNetworkReply *reply = m_manager->post(CSendGetHTTPRequest::request(CRecognitionClient::hostUrl(upload)),
                                           m_client->newRequestBody(upload));
    m_replies << reply;
    m_states[index] = Asking;
    emit signalStampChanged(index);
    // The same limit as a single search's exchange; the timer goes with the reply.
    QTimer::singleShot(CSendGetHTTPRequest::timeoutMs(), reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, this, [this, reply, index] { finishExchange(reply, index); });
}

void CIdentifyAll::finishExchange(QNetworkReply *reply, int index)
{
    m_replies.removeOne(reply);
    reply->deleteLater();
    const QString text = reply->error() == QNetworkReply::NoError
                             ? m_client->decipher(QString::fromLatin1(reply->readAll()))
                             : QStringLiteral("error");
    m_answers[index] = CRecognitionAnswer::parse(text);
    switch (m_answers.at(index).kind()) {
    case CRecognitionAnswer::Good:
        m_states[index] = Answered;
        break;
    case CRecognitionAnswer::NoMatch:
        m_states[index] = NotRecognised;
        break;
    default:
        m_states[index] = Failed;
    }
    emit signalStampChanged(index);
    askNext();
    if (m_running && m_replies.isEmpty() && m_next >= m_uploads.size()) {
        m_running = false;
        emit signalFinished();
    }
}

QStringList CIdentifyAll::firstStamp(const CRecognitionAnswer &answer)
{
    if (!answer.isGood() || answer.keywordList().isEmpty())
        return {};
    // country[c]number[inf]d1[i]d2[i]d3, blanks sent as "_" (read as "+" by the answer).
    QString stamp = answer.keywordList().constFirst();
    stamp.replace(QLatin1Char('+'), QLatin1Char(' '));
    const QString country = stamp.section(QStringLiteral("[c]"), 0, 0);
    const QString rest = stamp.section(QStringLiteral("[c]"), 1);
    const QString number = rest.section(QStringLiteral("[inf]"), 0, 0);
    QStringList descriptions = rest.section(QStringLiteral("[inf]"), 1).split(QStringLiteral("[i]"), Qt::SkipEmptyParts);
    // "0001" stands for a description the catalogue does not have.
    descriptions.removeAll(QStringLiteral("0001"));
    return {country.trimmed(), number.trimmed(), descriptions.join(QLatin1Char(' ')).trimmed()};
}

QString CIdentifyAll::outcomeText(int index) const
{
    switch (m_states.at(index)) {
    case Answered:
        return firstStamp(m_answers.at(index)).join(QStringLiteral(", "));
    case NotRecognised:
        return QStringLiteral("not recognised");
    case Failed:
        return m_answers.at(index).message();
    case Stopped:
        return QStringLiteral("stopped");
    default:
        return QString();
    }
}

QByteArray CIdentifyAll::pageText(const QString &baseName) const
{
    static const char *const classes[] = {"waiting", "asking", "answered", "not-recognised", "failed", "stopped"};
    QByteArray page = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                      "<title>stamps</title></head><body><table>";
    const QByteArray folder = QUrl::toPercentEncoding(baseName);
    for (int i = 0; i < count(); ++i) {
        page += "<tr class=\"" + QByteArray(classes[m_states.at(i)]) + "\"><td><img border=\"0\" src=\""
                + CSearchReport::escapedText(QString::fromLatin1(folder + '/' + QByteArray::number(i) + ".jpg"))
                + "\"></td>";
        // An answer in three cells (country, number, description) that a script can read apart.
        const QStringList cells = m_states.at(i) == Answered ? firstStamp(m_answers.at(i)) : QStringList();
        if (cells.size() == 3) {
            for (const QString &cell : cells)
                page += "<td>" + CSearchReport::escapedText(cell) + "</td>";
        } else {
            page += "<td colspan=\"3\">" + CSearchReport::escapedText(outcomeText(i)) + "</td>";
        }
        page += "</tr>";
    }
    page += "</table></body></html>";
    return page;
}

bool CIdentifyAll::writePage(const QString &path) const
{
    QList<QImage> pictures;
    for (const QByteArray &upload : m_uploads)
        pictures << QImage::fromData(upload);
    return CSearchReport::writePage(path, [this](const QString &baseName) { return pageText(baseName); }, pictures).isEmpty();
}
