// The updater window: waits, copies the staged release over the installation, removes the
// staging tree and starts the main application, retrying each step once a second.
#ifndef QUILLMOOR_UPDATER_H
#define QUILLMOOR_UPDATER_H

#include <QWidget>

#include <memory>

class QDir;

namespace install {
class Attempt;
}

class Updater : public QWidget
{
    Q_OBJECT

public:
    explicit Updater(QWidget *parent = nullptr);
    ~Updater() override;

private slots:
    // The order of these three fixes their method indices; keep it.
    void performUpdate();
    void startMainApp();
    bool copyAllFiles(QDir &sourceDir, QDir &targetDir);

private:
    bool removeAllFiles(QDir &dir);
    bool runFile(const QString &path);

    // The installed attempt whose old files go once the main application runs.
    std::unique_ptr<install::Attempt> m_attempt;
};

#endif // QUILLMOOR_UPDATER_H
