#pragma once

#include <QByteArray>

class QNetworkReply;

// Reading the answer of the update endpoint: its first comma-separated field is the newest version
// as a hexadecimal number.
class CUpdateCheck
{
public:
    // Only this much of an answer is kept; the version is in its first field.
    static constexpr qint64 maxAnswer = 4096;

    // Keeps the head of the reply's answer as it arrives and stops a longer answer there, so that
    // an answer of megabytes is never held in memory.
    static void watch(QNetworkReply *reply);
    // Whether the finished reply names a version newer than own.
    static bool isNewer(QNetworkReply *reply, int own);
    // Whether an answer text names a version newer than own.
    static bool isNewer(const QByteArray &answer, int own);
};
