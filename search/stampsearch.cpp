#include "stampsearch.h"

#include "recognitionanswer.h"
#include "recognitionclient.h"
#include "searchreport.h"
#include "sitesearch.h"
#include "matching/loadthreadimg.h"
#include "sites/hostconfig.h"

#include <QEventLoop>

CStampSearch::CStampSearch(QObject *parent)
    : QObject(parent), m_client(new CRecognitionClient(this)), m_sites(new CSiteSearch(cancelRequested, this))
{
    qRegisterMetaType<QVector<field_ready> *>();
    connect(m_sites, &CSiteSearch::signalProgress, this, [this](int value) { setProgress(value); });
}

CStampSearch::~CStampSearch()
{
    cancel();
    deleteWorkers();
}

void CStampSearch::setProgress(double value)
{
    progressValue = value;
    emit signalProgress(int(value));
}

QString CStampSearch::indexedText(qint64 count) const
{
    return text("Searching stamp. This can take some minutes.") + QLatin1Char('\n') + text("Indexed stamps ")
           + QString::number(double(count) / 1000000.0, 'g', 6) + QLatin1Char(' ') + text("Millions");
}

void CStampSearch::cancel()
{
    m_client->cancel();
    cancelRequested = true;
    m_sites->abortWait();
    for (CLoadThreadImg *worker : std::as_const(m_workers))
        worker->slotStop();
}

void CStampSearch::supersede()
{
    if (m_running)
        m_superseded = true;
    cancel();
}

CStampSearch::Outcome CStampSearch::run(const QImage &selection, const QByteArray &jpeg)
{
    m_running = true;
    m_superseded = false;
    m_stoppedInComparison = false;
    m_serverMessage.clear();
    // Until this search writes its own, no report of an earlier one may pass for it.
    const QString reportPath = m_reportPath;
    if (!reportPath.isEmpty())
        CSearchReport::setAside(reportPath);
    const Outcome outcome = search(selection, jpeg);
    m_running = false;
    if (!reportPath.isEmpty() && !m_superseded)
        writeReport(reportPath, outcome);
    return outcome;
}

void CStampSearch::writeReport(const QString &path, Outcome outcome)
{
    // A search without matches says how it ended, so that a script can tell.
    QString ending;
    if (outcome == Cancelled || m_stoppedInComparison)
        ending = QStringLiteral("cancelled");
    else if (outcome == ServerMessage)
        ending = m_serverMessage;
    else if (resultList.isEmpty())
        ending = QStringLiteral("no match");
    const QString error = CSearchReport::write(path, ending.isEmpty() ? resultList : QVector<field_ready>(), ending, m_tr);
    if (error.isEmpty()) {
        CSearchReport::dropPrevious(path);
        return;
    }
    qWarning("The report could not be written: %s", qPrintable(error));
    emit signalReportFailed(error);
}

CStampSearch::Outcome CStampSearch::search(const QImage &selection, const QByteArray &jpeg)
{
    setProgress(0);
    emit signalStage(Sending);
    emit signalStagePicture(QStringLiteral("qv-upload.png"));
    emit signalStatus(text("Connecting to server..."));
    cancelRequested = false;
    emit signalStarted();

    // The number of indexed stamps first; without it the upload is not tried.
    QString answerText = m_client->queryRecognitionServer("cache");
    qint64 indexed = 0;
    const bool serverAnswered = CRecognitionAnswer::readIndexedCount(answerText, &indexed);
    if (serverAnswered) {
        emit signalStatus(indexedText(indexed));
        selectionImage = selection;
        setProgress(50);
        emit signalStagePicture(QStringLiteral("qv-recognize.png"));
        emit signalStage(Recognizing);
        emit signalStageChecked(Sending);
        answerText = m_client->queryRecognitionServer(jpeg);
    }

    emit signalStagePicture(QStringLiteral("qv-web.png"));
    emit signalStage(SearchingSites);
    emit signalStageChecked(Recognizing);
    setProgress(0);
    if (cancelRequested)
        return Cancelled;

    const CRecognitionAnswer answer = CRecognitionAnswer::parse(answerText);
    if (!answer.isGood()) {
        m_serverMessage = answer.message();
        emit signalServerMessage(m_tr(answer.message()));
        return ServerMessage;
    }
    setProgress(50);
    const QStringList keywordList = answer.keywordList();
    const QString recognitionText = answer.recognitionText();
    if (cancelRequested)
        return Cancelled;

    candidateList.clear();
    m_sites->searchSites(keywordList, false, QString(), &candidateList);
    if (cancelRequested)
        return Cancelled;

    startCompareWorker(false, 100);
    emit signalProgress(int(progressValue));

    if (candidateList.size() < enoughMatches) {
        emit signalStagePicture(QStringLiteral("qv-web.png"));
        emit signalStatus(indexedText(indexed));
        emit signalStage(Additional);
        emit signalStageChecked(Matching);
        const QVector<field_ready> firstPass = candidateList;
        candidateList.clear();
        m_sites->searchSites(keywordList, true, recognitionText, &candidateList);
        startCompareWorker(true, 50);
        candidateList = firstPass + candidateList;
        emit signalStage(AllDone);
        emit signalStageChecked(Additional);
        // A picture found twice is shown once, where it came first.
        for (qsizetype i = 0; i < candidateList.size(); ++i) {
            const QString url = candidateList.at(i).imageUrl;
            candidateList.erase(std::remove_if(candidateList.begin() + i + 1, candidateList.end(),
                                               [&url](const field_ready &record) { return record.imageUrl == url; }),
                                candidateList.end());
        }
    }
    emit signalStageChecked(Matching);
    emit signalStage(AllDone);

    // After a stop nothing was necessarily searched to the end: "not found" would be untrue.
    if (candidateList.isEmpty() && !cancelRequested)
        emit signalNotFound();
    else
        showResults();

    setProgress(100);
    // Read before the end is announced: whoever hears of it may call cancel() on a finished search.
    m_stoppedInComparison = cancelRequested;
    emit signalFinished();
    return Finished;
}

QVector<field_ready> CStampSearch::compare(const QImage &selection, const QVector<field_ready> &candidates)
{
    m_running = true;
    cancelRequested = false;
    selectionImage = selection;
    candidateList = candidates;
    startCompareWorker(false, 100);
    m_running = false;
    return candidateList;
}

void CStampSearch::deleteWorkers()
{
    // Each worker stops and joins its thread as it is deleted.
    qDeleteAll(m_workers);
    m_workers.clear();
}

void CStampSearch::startCompareWorker(bool additional, int span)
{
    if (!additional) {
        emit signalStage(Matching);
        emit signalStageChecked(SearchingSites);
    }
    setProgress(100 - span);
    finishedWorkers = 0;
    const QImage reference = selectionImage.convertToFormat(QImage::Format_RGB32);

    resultList.clear();
    candidateTotal = qint32(candidateList.size());
    comparedCount = 0;
    foundCount = 0;
    emit signalStatus(text("Comparing stamps.... ") + QStringLiteral("0/") + QString::number(candidateTotal));
    progressStep = double(span) / candidateTotal;
    accumulatedProgress = progressValue;

    deleteWorkers();
    const quint64 comparison = ++m_comparison;
    for (int n = 0; n < workerCount; ++n) {
        auto *worker = new CLoadThreadImg(reference, nullptr);
        connect(worker, &CLoadThreadImg::signalOutMiniImg, this, &CStampSearch::slotAddMiniImg);
        connect(worker, &CLoadThreadImg::signalOutImg, this, &CStampSearch::slotAddImg);
        connect(worker, &CLoadThreadImg::signalBeep, this, &CStampSearch::slotThreadBeep);
        // The list belongs to a worker of this comparison; a report that comes too late is ignored
        // without being read.
        connect(worker, &CLoadThreadImg::signalFinish, this, [this, comparison](QVector<field_ready> *list) {
            if (comparison == m_comparison)
                slotThreadFinished(list);
        });
        m_workers.append(worker);
    }
    for (qsizetype k = 0; k < candidateList.size(); ++k)
        m_workers.at(int(k % workerCount))->candidates.append(candidateList.at(k));
    candidateList.clear();

    QEventLoop loop;
    connect(this, &CStampSearch::signalCompareEnd, &loop, &QEventLoop::quit);
    for (CLoadThreadImg *worker : std::as_const(m_workers))
        worker->start(QThread::InheritPriority);
    loop.exec();
}

void CStampSearch::slotThreadBeep()
{
    accumulatedProgress += progressStep;
    setProgress(accumulatedProgress);
    ++comparedCount;
}

void CStampSearch::slotAddMiniImg(const QImage &picture)
{
    emit signalStatus(text("Comparing stamps.... ") + QString::number(comparedCount) + QLatin1Char('/')
                      + QString::number(candidateTotal) + QLatin1Char('\n') + text("Found ")
                      + QString::number(foundCount) + QStringLiteral("\n\n\n\n"));
    emit signalMiniImg(picture);
}

void CStampSearch::slotAddImg(const QImage &picture, const QString &pageUrl, const QString &source,
                              const QString &domain, int kind, const CMatchEvidence &evidence)
{
    ++foundCount;
    emit signalOutImg(picture, pageUrl, source, domain, kind, evidence);
}

void CStampSearch::slotThreadFinished(QVector<field_ready> *list)
{
    ++finishedWorkers;
    candidateList += *list;
    if (finishedWorkers >= workerCount)
        emit signalCompareEnd();
}

QVector<field_ready> CStampSearch::rank(QVector<field_ready> *candidates, int maxOut)
{
    QVector<field_ready> ranked;
    for (const QString &label : HostConfig::siteLabels()) {
        for (int taken = 0; taken < maxOut && !candidates->isEmpty(); ++taken) {
            qsizetype best = -1;
            for (qsizetype i = 0; i < candidates->size(); ++i) {
                const field_ready &record = candidates->at(i);
                if (record.source == label && record.score > 0
                    && (best < 0 || record.score > candidates->at(best).score))
                    best = i;
            }
            if (best < 0)
                break;
            field_ready result = candidates->takeAt(best);
            result.score = 0;
            ranked.append(result);
        }
        if (candidates->isEmpty())
            break;
    }
    return ranked;
}

void CStampSearch::showResults()
{
    if (cancelRequested)
        return;
    resultList = rank(&candidateList, m_maxOut);
    if (cancelRequested)
        return;
    emit signalClearResults();
    for (const field_ready &result : std::as_const(resultList))
        slotAddImg(result.image, result.pageUrl, result.source, result.domain, result.kind, result.evidence);
}
