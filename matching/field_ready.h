#pragma once

#include "matchevidence.h"

#include <QImage>
#include <QMetaType>
#include <QString>
#include <QVector>

// One candidate stamp: found by the site search, downloaded and judged by a worker, ranked, shown
// and reported. A value type; lists of it are QVector<field_ready>.
struct field_ready
{
    QString imageUrl;  // the candidate picture, downloaded by the worker
    QString pageUrl;   // the page that offers or describes the stamp
    QString source;    // label of the site that yielded it
    QString domain;    // host of the offering page without "www." (reverse image search), else empty
    QImage image;      // the downloaded picture as decoded; null until accepted
    qint32 score = 0;  // ranking value of an accepted candidate
    qint32 kind = 0;   // 0: compared; 1 to 4: reverse-image-search hit, by where it came from
    bool skipCompare = false; // accepted without comparison once its picture has arrived
    CMatchEvidence evidence;  // what the comparison saw; empty when not compared
};

Q_DECLARE_METATYPE(QVector<field_ready> *)
