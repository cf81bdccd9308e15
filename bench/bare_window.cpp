// quellnet-bench-bare: the smallest Qt Widgets program with a window like the program's (a form
// with two fields, a check box and a button in the Fusion style), and nothing else: no network, no
// helper, no tray. What it costs on the same display (memory, start-up, idle wake-ups) is the
// floor that Qt itself sets for the program.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleFactory>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Quellnet")));
    layout->addWidget(new QLineEdit);
    layout->addWidget(new QLineEdit);
    layout->addWidget(new QCheckBox(QStringLiteral("Angemeldet bleiben")));
    layout->addWidget(new QPushButton(QStringLiteral("Verbinden")));
    window.resize(360, 460);
    window.show();
    return QApplication::exec();
}
