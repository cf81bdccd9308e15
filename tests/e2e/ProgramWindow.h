#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QImage;

namespace quellnet {
class AppDelegate;
class MainViewController;
} // namespace quellnet

namespace quellnet::e2e {

// The real program in this process: the application delegate launched as the program launches
// it (window with the login view, tray menu, the cached connection to the helper daemon on its
// default socket), driven the way a person drives it. Needs a QApplication with the program's
// look applied; the window may be offscreen. GUI thread only.
class ProgramWindow
{
public:
    ProgramWindow();
    ~ProgramWindow();
    ProgramWindow(const ProgramWindow &) = delete;
    ProgramWindow &operator=(const ProgramWindow &) = delete;

    AppDelegate &delegate() { return *m_delegate; }
    MainViewController &view();

    // Replaces what the two fields hold by typing `email` and `password` into them.
    void typeCredentials(const QString &email, const QString &password);
    // A left click in the middle of the connect button.
    void clickConnect();

    // The texts of the error sheets open on the window; closes each with its OK button, as a person
    // would, and waits until they are gone.
    QStringList closeSheets();

    QString buttonTitle();
    QString trayConnectTitle() const;
    bool formEnabled();

    QImage screenshot();

private:
    std::unique_ptr<AppDelegate> m_delegate;
};

} // namespace quellnet::e2e
