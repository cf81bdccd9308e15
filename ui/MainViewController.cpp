#include "ui/MainViewController.h"

#include "ui_MainView.h"

#include "account/ConnectFlow.h"
#include "account/CredentialStore.h"
#include "base/AppPaths.h"
#include "base/SystemLog.h"
#include "engine/NotificationCenter.h"
#include "engine/OpenVPNService.h"
#include "engine/VpnState.h"
#include "ui/Accessibility.h"
#include "ui/ApplicationDelegate.h"
#include "ui/ControlStyling.h"
#include "ui/FailureText.h"
#include "ui/FlatButton.h"
#include "ui/UrlOpener.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QLocale>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>

#include <limits>

namespace quellnet {

Q_LOGGING_CATEGORY(lcUi, "quellnet.ui", QtInfoMsg)

namespace {

constexpr std::uint32_t kBackground = 0x282C35;
constexpr std::uint32_t kGrey = 0x9D9EA2;
constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kAccent = 0x23B28C;

QString connectTitle()
{
    return QCoreApplication::translate("quellnet::MainViewController", "Verbinden");
}

// Hours, minutes and seconds: "0:04:09", "27:00:00".
QString duration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString dataSize(std::uint64_t bytes)
{
    return QLocale().formattedDataSize(
        qint64(std::min<std::uint64_t>(bytes, std::numeric_limits<qint64>::max())), 1, QLocale::DataSizeSIFormat);
}

// The artwork is drawn at twice its size, so it stays sharp on high-density screens.
constexpr qreal kArtworkScale = 2.0;

QPixmap artwork(const QString &name)
{
    QPixmap pixmap;
    if (!pixmap.load(AppPaths::resource(name + QStringLiteral(".png")))) {
        qCWarning(lcUi) << "image not found:" << AppPaths::resource(name + QStringLiteral(".png"));
        return pixmap;
    }
    pixmap.setDevicePixelRatio(kArtworkScale);
    return pixmap;
}

} // namespace

MainViewController::MainViewController(QWidget *parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::MainView>()), m_appDelegate(ApplicationDelegate::current())
{
    m_ui->setupUi(this);
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &MainViewController::refreshTunnel);
    m_slowConnect.setSingleShot(true);
    m_slowConnect.setInterval(slowConnectMs);
    connect(&m_slowConnect, &QTimer::timeout, this, &MainViewController::connectIsSlow);
    // The flow reads the form, so it comes after the controls exist.
    m_connectFlow = new ConnectFlow(*this, this);
    viewDidLoad();
}

MainViewController::~MainViewController() = default;

FlatButton *MainViewController::connectButton() const
{
    return m_ui->connectButton;
}

QLineEdit *MainViewController::emailEdit() const
{
    return m_ui->emailEdit;
}

QWidget *MainViewController::emailLine() const
{
    return m_ui->emailLine;
}

QLineEdit *MainViewController::passwordEdit() const
{
    return m_ui->passwordEdit;
}

QWidget *MainViewController::passwordLine() const
{
    return m_ui->passwordLine;
}

QCheckBox *MainViewController::rememberCheck() const
{
    return m_ui->rememberCheck;
}

FlatButton *MainViewController::signupButton() const
{
    return m_ui->signupButton;
}

QLabel *MainViewController::rememberText() const
{
    return m_ui->rememberText;
}

FlatButton *MainViewController::helpButton() const
{
    return m_ui->helpButton;
}

QJsonValue MainViewController::profile() const
{
    return m_connectFlow->profile();
}

void MainViewController::viewDidLoad()
{
    setBackgroundColor(this, colorFromRgb(kBackground));
    // The underlines mark the fields, and show which one has the keyboard focus.
    new FieldFocusCue(m_ui->emailEdit, m_ui->emailLine, colorFromRgb(kGrey), colorFromRgb(kAccent));
    new FieldFocusCue(m_ui->passwordEdit, m_ui->passwordLine, colorFromRgb(kGrey), colorFromRgb(kAccent));
    describeForAssistiveTechnology();

    // The fields sit on the view's background; only their underlines mark them.
    for (QLineEdit *field : { m_ui->emailEdit, m_ui->passwordEdit }) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, colorFromRgb(kBackground));
        palette.setColor(QPalette::Disabled, QPalette::Base, colorFromRgb(kBackground));
        field->setPalette(palette);
    }

    const QString email = CredentialStore::rememberedEmail();
    m_ui->emailEdit->setText(email);
    // From the keyring the password may come a moment after the window shows: by then the person
    // may have typed one or another address. A form that is locked because a tunnel is up still
    // gets it, for the next connect.
    CredentialStore::shared().fetchPassword(this, [this, email](const QString &password) {
        if (m_ui->passwordEdit->text().isEmpty() && m_ui->emailEdit->text() == email)
            m_ui->passwordEdit->setText(password);
    });
    // Someone who asked to stay signed in finds the box still ticked; otherwise the next sign-in
    // would quietly forget the credentials they asked to keep.
    m_ui->rememberCheck->setChecked(!email.isEmpty());

    setTitle(m_ui->connectButton, connectTitle(), colorFromRgb(kGrey));
    setConnectButtonImage(QStringLiteral("bg_button"));
    setTitle(m_ui->signupButton, tr("Registrieren"), colorFromRgb(kGrey), 13, Qt::AlignLeft);
    setTitle(m_ui->helpButton, tr("Hilfe"), colorFromRgb(kGrey), 13, Qt::AlignRight);

    // Brand header and caption: layout only, the display modes recolour the caption.
    QPixmap logo = artwork(QStringLiteral("quellnet"));
    if (!logo.isNull()) {
        const qreal ratio = devicePixelRatioF();
        logo = logo.scaled(QSize(64, 64) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        logo.setDevicePixelRatio(ratio);
        m_ui->logoLabel->setPixmap(logo);
    }
    QFont brandFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    brandFont.setPointSize(20);
    brandFont.setWeight(QFont::DemiBold);
    m_ui->brandLabel->setFont(brandFont);
    setTextColor(m_ui->brandLabel, colorFromRgb(kWhite));
    QFont captionFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    captionFont.setPointSize(13);
    m_ui->rememberText->setFont(captionFont);
    setTextColor(m_ui->rememberText, colorFromRgb(kWhite));
    m_ui->rememberText->installEventFilter(this);
    styleTunnelPanel();

    connect(m_ui->connectButton, &QAbstractButton::clicked, this, &MainViewController::onConnectButtonClick);
    connect(m_ui->signupButton, &QAbstractButton::clicked, this, &MainViewController::onSignUpButtonClick);
    connect(m_ui->helpButton, &QAbstractButton::clicked, this, &MainViewController::onHelpButtonClick);
    // Return in either field signs in, as in any sign-in form; the fields are locked while a
    // connection exists, so it never disconnects.
    connect(m_ui->emailEdit, &QLineEdit::returnPressed, this, &MainViewController::onConnectButtonClick);
    connect(m_ui->passwordEdit, &QLineEdit::returnPressed, this, &MainViewController::onConnectButtonClick);

    NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] { openVPNStateDidChange(); });
    NotificationCenter::defaultCenter().addObserver(
        this, OpenVPNConnectionDidFail(), [this] { openVPNConnectionDidFail(); });
}

void MainViewController::styleTunnelPanel()
{
    // In the form's own type: captions grey like the links, values white like the labels.
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(13);
    const std::pair<QLabel *, QString> captions[] { { m_ui->addressCaption, tr("Adresse") },
        { m_ui->serverCaption, tr("Server") }, { m_ui->durationCaption, tr("Dauer") },
        { m_ui->receivedCaption, tr("Empfangen") }, { m_ui->sentCaption, tr("Gesendet") } };
    for (const auto &[caption, text] : captions) {
        caption->setText(text);
        caption->setFont(font);
        setTextColor(caption, colorFromRgb(kGrey));
    }
    for (QLabel *value : tunnelValues()) {
        value->setFont(font);
        setTextColor(value, colorFromRgb(kWhite));
    }
    m_ui->slowConnectLabel->setFont(font);
    m_ui->slowConnectLabel->setContentsMargins(0, 12, 0, 12);
    setTextColor(m_ui->slowConnectLabel, colorFromRgb(kGrey));
    m_ui->slowConnectLabel->hide();
    m_ui->tunnelPanel->hide();
}

void MainViewController::describeForAssistiveTechnology()
{
    // Placeholders vanish once a field holds text, and the check box's caption is a label of its
    // own: screen readers get names that stay. The buttons are named by their titles.
    m_ui->emailEdit->setAccessibleName(tr("E-Mail"));
    m_ui->passwordEdit->setAccessibleName(tr("Passwort"));
    m_ui->rememberCheck->setAccessibleName(tr("Angemeldet bleiben"));
    m_ui->rememberText->setBuddy(m_ui->rememberCheck);
    showKeyboardFocusOutline(m_ui->rememberCheck);
    m_ui->signupButton->setAccessibleDescription(tr("Öffnet die Preisseite von Quellnet im Browser"));
    m_ui->helpButton->setAccessibleDescription(tr("Öffnet die Hilfeseite von Quellnet im Browser"));
    // The brand's name stands right below it.
    markDecorative(m_ui->logoLabel);
}

void MainViewController::viewDidAppear()
{
    setCursorColor(m_ui->emailEdit, colorFromRgb(kWhite));
    setCursorColor(m_ui->passwordEdit, colorFromRgb(kWhite));
    setPlaceholder(m_ui->emailEdit, tr("E-Mail"), colorFromRgb(kGrey));
    setPlaceholder(m_ui->passwordEdit, tr("Passwort"), colorFromRgb(kGrey));
    // No focus ring: a frameless field draws none, and its underline shows the focus instead.
    for (QLineEdit *field : { m_ui->emailEdit, m_ui->passwordEdit }) {
        field->setFrame(false);
        field->setAttribute(Qt::WA_MacShowFocusRect, false);
    }
}

void MainViewController::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    viewDidAppear();
    // Minimising hides nothing, as far as the widgets are told: the window's state says it.
    if (QWidget *top = window(); top != this && !m_watchingWindow) {
        top->installEventFilter(this);
        m_watchingWindow = true;
    }
    followTunnelOnScreen();
}

void MainViewController::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_tick.stop();
}

bool MainViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window() && watched != this && event->type() == QEvent::WindowStateChange)
        followTunnelOnScreen();
    // The caption belongs to the check box: clicking it ticks the box.
    if (watched == m_ui->rememberText && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && m_ui->rememberCheck->isEnabled()
            && m_ui->rememberText->rect().contains(mouse->position().toPoint())) {
            m_ui->rememberCheck->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainViewController::openVPNStateDidChange()
{
    const QString state = OpenVPNService::shared().state();
    SystemLog::write(state);
    // Each class of state has its display mode; a name the program does not know leaves the view as it is.
    switch (VpnState::classOf(state)) {
    case VpnState::Class::Idle:
        // A late word of the previous openvpn's end (the helper reports it up to a few seconds
        // after a disconnect) must not show "Verbinden" while a new sign-in is under way; that
        // sign-in ends in a mode of its own.
        if (m_connectFlow != nullptr && m_connectFlow->isTalkingToAccountService())
            break;
        showDisconnected();
        break;
    case VpnState::Class::InProgress:
        showConnecting();
        break;
    case VpnState::Class::Connected:
        showConnected();
        break;
    case VpnState::Class::Other:
        break;
    }
}

void MainViewController::showDisconnected()
{
    endConnectingPhase();
    showTunnel(false);
    setTitle(m_ui->connectButton, connectTitle(), colorFromRgb(kGrey));
    setConnectButtonImage(QStringLiteral("bg_button"));
    setConnectItemTitle(connectTitle());
    m_ui->emailEdit->setEnabled(true);
    m_ui->passwordEdit->setEnabled(true);
    m_ui->rememberCheck->setEnabled(true);
    setTextColor(m_ui->rememberText, colorFromRgb(kWhite));
    m_displayMode = DisplayMode::Disconnected;
    Q_EMIT displayModeChanged(m_displayMode);
}

void MainViewController::showConnecting()
{
    showTunnel(false);
    // From the click, or from the tunnel's loss, until it arrives or ends.
    if (!m_slowConnect.isActive() && m_ui->slowConnectLabel->isHidden())
        m_slowConnect.start();
    showSessionActive(kGrey, tr("Wird verbunden..."), QStringLiteral("bg_button"));
    m_displayMode = DisplayMode::Connecting;
    Q_EMIT displayModeChanged(m_displayMode);
}

void MainViewController::showConnected()
{
    endConnectingPhase();
    showSessionActive(kWhite, tr("Trennen"), QStringLiteral("bg_button_green"));
    showTunnel(true);
    m_displayMode = DisplayMode::Connected;
    Q_EMIT displayModeChanged(m_displayMode);
}

void MainViewController::endConnectingPhase()
{
    m_slowConnect.stop();
    m_ui->slowConnectLabel->hide();
    m_ui->slowConnectLabel->clear();
}

void MainViewController::connectIsSlow()
{
    // openvpn keeps trying on its own, and the button still cancels: this only says so.
    const QString text
        = tr("Die Verbindung dauert länger als üblich. Quellnet versucht es weiter; ein Klick auf die Schaltfläche "
             "bricht ab.");
    qCInfo(lcUi) << "connecting takes longer than" << m_slowConnect.interval() / 1000 << "s";
    m_ui->slowConnectLabel->setText(text);
    m_ui->slowConnectLabel->show();
    if (!sheetReachesThePerson() && m_appDelegate != nullptr)
        m_appDelegate->notify(tr("Wird verbunden..."), text, {});
}

std::array<QLabel *, 5> MainViewController::tunnelValues() const
{
    return { m_ui->addressValue, m_ui->serverValue, m_ui->durationValue, m_ui->receivedValue, m_ui->sentValue };
}

void MainViewController::showTunnel(bool shown)
{
    m_ui->tunnelPanel->setVisible(shown);
    if (shown) {
        refreshTunnel();
    } else {
        for (QLabel *value : tunnelValues())
            value->clear();
    }
    followTunnelOnScreen();
}

void MainViewController::followTunnelOnScreen()
{
    if (!m_ui->tunnelPanel->isHidden() && isVisible() && !window()->isMinimized()) {
        refreshTunnel();
        m_tick.start();
    } else {
        m_tick.stop();
    }
}

void MainViewController::refreshTunnel()
{
    const OpenVPNService &service = OpenVPNService::shared();
    const std::optional<VpnTunnel> tunnel = service.tunnel();
    const VpnTraffic traffic = service.traffic();
    m_ui->addressValue->setText(tunnel ? tunnel->anyAddress() : QString());
    m_ui->serverValue->setText(tunnel ? tunnel->server : QString());
    m_ui->durationValue->setText(
        tunnel && tunnel->since.isValid() ? duration(tunnel->since.secsTo(QDateTime::currentDateTime())) : QString());
    m_ui->receivedValue->setText(dataSize(traffic.received));
    m_ui->sentValue->setText(dataSize(traffic.sent));
}

void MainViewController::showSessionActive(std::uint32_t titleColor, const QString &title, const QString &imageName)
{
    setTitle(m_ui->connectButton, title, colorFromRgb(titleColor));
    setConnectButtonImage(imageName);
    setConnectItemTitle(title);
    // Focus leaving a field that is about to be locked goes to the button, quietly: moved by the
    // disabling itself it would look like a Tab and draw the keyboard focus outline.
    QWidget *focused = focusWidget();
    if (focused == m_ui->emailEdit || focused == m_ui->passwordEdit || focused == m_ui->rememberCheck)
        m_ui->connectButton->setFocus(Qt::OtherFocusReason);
    m_ui->emailEdit->setEnabled(false);
    m_ui->passwordEdit->setEnabled(false);
    m_ui->rememberCheck->setEnabled(false);
    setTextColor(m_ui->rememberText, colorFromRgb(kGrey));
}

void MainViewController::setConnectButtonImage(const QString &imageName)
{
    m_ui->connectButton->setBackgroundImage(artwork(imageName));
}

void MainViewController::setConnectItemTitle(const QString &title)
{
    if (m_appDelegate == nullptr)
        return;
    if (QAction *item = m_appDelegate->connectItem())
        item->setText(title);
}

QString MainViewController::emailText() const
{
    return m_ui->emailEdit->text();
}

QString MainViewController::passwordText() const
{
    return m_ui->passwordEdit->text();
}

bool MainViewController::rememberChecked() const
{
    return m_ui->rememberCheck->checkState() == Qt::Checked;
}

void MainViewController::showErrorSheet(const QString &message)
{
    // A sheet on the login window: it blocks that window only, and this call returns at once.
    auto *sheet
        = new QMessageBox(QMessageBox::Critical, QStringLiteral("Quellnet"), message, QMessageBox::Ok, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setDefaultButton(QMessageBox::Ok);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
}

void MainViewController::reportFailure(const QString &message)
{
    report(tr("Nicht verbunden"), message, false);
}

void MainViewController::openVPNConnectionDidFail()
{
    const FailureReason reason = OpenVPNService::shared().failureReason();
    const QString text = FailureText::of(reason);
    if (!text.isEmpty())
        report(tr("Nicht verbunden"), text, reason == FailureReason::TunnelDropped);
}

bool MainViewController::sheetReachesThePerson() const
{
    const QWidget *top = window();
    return m_connectedFromWindow && top->isVisible() && !top->isMinimized();
}

void MainViewController::report(const QString &summary, const QString &message, bool alwaysNotify)
{
    const bool sheet = sheetReachesThePerson();
    if (sheet)
        showErrorSheet(message);
    if (sheet && !alwaysNotify)
        return;
    auto undelivered = [self = QPointer(this), message, sheet] {
        if (self != nullptr && !sheet)
            self->showErrorSheet(message);
    };
    if (m_appDelegate != nullptr)
        m_appDelegate->notify(summary, message, std::move(undelivered));
    else
        undelivered();
}

void MainViewController::toggleFrom(bool fromWindow)
{
    // Only the click that starts a sign-in decides where its failures are told.
    if (!m_connectFlow->isSignInUnderWay()
        && VpnState::classOf(OpenVPNService::shared().state()) == VpnState::Class::Idle)
        m_connectedFromWindow = fromWindow;
    m_connectFlow->toggleConnection();
}

void MainViewController::toggleConnection()
{
    toggleFrom(false);
}

void MainViewController::onConnectButtonClick()
{
    toggleFrom(true);
}

void MainViewController::onSignUpButtonClick()
{
    UrlOpener::open(QUrl(QStringLiteral("https://quellnet.ch/preise/")));
}

void MainViewController::onHelpButtonClick()
{
    UrlOpener::open(QUrl(QStringLiteral("https://quellnet.ch/support/")));
}

} // namespace quellnet
