#include "ui/FailureText.h"

namespace quellnet {

QString FailureText::of(FailureReason reason)
{
    switch (reason) {
    case FailureReason::None:
        return QString();
    case FailureReason::VpnAuthenticationFailed:
        return tr("VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen.");
    case FailureReason::TunnelDropped:
        return tr("Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden.");
    case FailureReason::OpenVPNEndedEarly:
        return tr("OpenVPN wurde unerwartet beendet. Bitte erneut verbinden.");
    case FailureReason::OpenVPNFatalError:
        return tr("OpenVPN ist mit einem Fehler abgebrochen. Bitte erneut verbinden; hilft das nicht, den "
                  "Support kontaktieren.");
    case FailureReason::ManagementPortTaken:
        return tr("Ein anderes Programm belegt den Steuerungsanschluss von OpenVPN (Port 1337). Bitte dieses "
                  "Programm beenden.");
    case FailureReason::ManagementNoAnswer:
        return tr("OpenVPN antwortet nicht. Bitte erneut verbinden.");
    case FailureReason::HelperUnreachable:
        return tr("Der Quellnet-Hilfsdienst ist nicht erreichbar. Bitte Quellnet neu starten.");
    case FailureReason::OtherUsersConnection:
        return tr("Die VPN-Verbindung eines anderen Benutzers ist aktiv. Bitte warten, bis sie getrennt ist.");
    case FailureReason::ProfileNotClient:
        return tr("Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support "
                  "kontaktieren.");
    case FailureReason::ProfileForbiddenOption:
        return tr("Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte Option. Bitte den "
                  "Support kontaktieren.");
    case FailureReason::ProfileNotTrusted:
        return tr("Der Hilfsdienst hat das VPN-Profil abgelehnt: Der Profildatei ist nicht zu trauen. Bitte erneut "
                  "verbinden.");
    case FailureReason::ProfileUnreadable:
        return tr("Der Hilfsdienst konnte das VPN-Profil nicht lesen. Bitte erneut verbinden.");
    case FailureReason::HelperFailed:
        return tr("Der Hilfsdienst konnte OpenVPN nicht starten. Bitte erneut verbinden; hilft das nicht, Quellnet "
                  "neu starten.");
    case FailureReason::OpenVPNNotRunnable:
        return tr("OpenVPN lässt sich nicht ausführen. Bitte OpenVPN installieren.");
    case FailureReason::CredentialsUnusable:
        return tr("E-Mail-Adresse oder Passwort ist zu lang für die VPN-Anmeldung (höchstens 256 Byte). Bitte "
                  "prüfen.");
    case FailureReason::InstallationIncomplete:
        return tr("Quellnet ist unvollständig installiert. Bitte Quellnet neu installieren.");
    }
    return QString();
}

} // namespace quellnet
