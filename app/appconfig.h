#pragma once

#include <QString>

// The program's few settings, kept in "config.cfg" in the folder "Quillet" of the user's documents
// folder. The whole file is rewritten by every save.
class AppConfig
{
public:
    // Sets the defaults and loads the file.
    AppConfig();

    void load();
    // Empty on success; else the file and the system's reason (also on standard error), and the
    // file stays as it was.
    QString save();

    // The configuration folder, ending in "/".
    static QString configFolder();
    static QString filePath();

    QString path;
    QString language;
    qint32 max_out = 10;
    QString last_path;
    bool firstStart = true;
    // Set by a load that refused the file as too large to be a configuration: the defaults stay.
    bool fileTooLarge = false;

private:
    static QString programFolder();
};
