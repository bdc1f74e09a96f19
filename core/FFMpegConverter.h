#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

// One device preset: the converter's argument template, in which the quoted
// "%1" stands for the input file and the quoted "%2" for the output file, and
// the ending of the output file's name, which carries its extension.
struct DevicePreset {
    const char* name;
    const char* arguments;
    const char* suffix;
};

// Converts a list of videos one after another with the converter program
// (ffmpegProgram) and one preset. Lives in the GUI thread; its processes and
// signals too, so receivers in that thread are called directly.
//
// A run reports conversionStarted(k, n) once file k of n has started,
// conversionProgress(seconds done, seconds in all) while it converts, and
// ends with exactly one conversionFinished(code):
//   0  every file converted (or no file given)
//   1  the preset name is not in the table (checked case-sensitively)
//   2  the program did not start for a file, or did not exit with code 0, or
//      wrote nothing; the remaining files are left alone
// A cancelled run ends with no signal at all.
//
// The program writes each file under a hidden temporary name beside its
// output, and the file is moved to the output's name only when the program
// has succeeded (replacing an earlier output of that name). So a failure, a
// cancel or the converter's destruction mid-run leaves nothing under the
// output's name and an earlier output as it was; the temporary file is
// removed then too. Only an application killed outright (so that no
// destructor runs) leaves a temporary file behind.
class FFMpegConverter : public QObject {
    Q_OBJECT
public:
    // Starts nothing; connect the signals, then call start().
    FFMpegConverter(const QStringList& files, const QString& outputDirectory,
                    const QString& presetName, QObject* parent = nullptr);
    // Mid-run, kills the program and removes what it was writing.
    ~FFMpegConverter() override;

    // The preset of play copies: "Windows Media Video".
    static const QString playPresetName;
    // The names of the forty presets in table order.
    static QStringList presetNames();
    // The row named exactly `name`; the all-null row when there is none.
    static DevicePreset findPreset(const QString& name);
    // folder (with "/" separators) + "/" + the input's file name with every
    // "." replaced by "_" + the preset's suffix (none for an unknown preset).
    static QString outputFileName(const QString& folder, const QString& inputFile,
                                  const QString& presetName);

    // Starts the next pending file, or ends the run. Blocks until the program
    // has started. May emit conversionFinished before it returns.
    void start();
    // Kills the running program (waiting at most 30 s for it), removes the
    // temporary file it was writing, and stops the run without a signal.
    void cancel();

    // Test seam: takes bytes as if read from the program's standard error.
    void appendStandardError(const QByteArray& bytes);

signals:
    void conversionStarted(int currentFile, int totalFiles);
    void conversionProgress(int current, int total);
    void conversionFinished(int exitCode);

private slots:
    void readStderr();
    void finished(int error);

private:
    void stopProgram();
    void removePartialFile();

    QStringList pendingFiles;
    QString outputDirectory;
    QString outputFile;
    QString partialFile;  // where the program writes outputFile; empty once moved
    QString presetName;
    int totalFiles;
    int currentFile = 0;
    QProcess* process = nullptr;
    int duration = 0;
    QString standardError;
};
