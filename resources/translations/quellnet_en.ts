<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>MainView</name>
    <message>
        <source>Angemeldet bleiben</source>
        <translation>Stay signed in</translation>
    </message>
    <message>
        <source>Verbinden</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Registrieren</source>
        <translation>Sign up</translation>
    </message>
    <message>
        <source>Hilfe</source>
        <translation>Help</translation>
    </message>
</context>
<context>
    <name>quellnet::ConnectFlow</name>
    <message>
        <source>Email should not be empty!</source>
        <translation>Email should not be empty!</translation>
    </message>
    <message>
        <source>Password should not be empty!</source>
        <translation>Password should not be empty!</translation>
    </message>
    <message>
        <source>Email must not contain control characters!</source>
        <translation>Email must not contain control characters!</translation>
    </message>
    <message>
        <source>Password must not contain control characters!</source>
        <translation>Password must not contain control characters!</translation>
    </message>
    <message>
        <source>Falsche E-Mail Adresse oder Passwort</source>
        <translation>Wrong email address or password</translation>
    </message>
    <message>
        <source>Network connection failed</source>
        <translation>Network connection failed</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>Could not write the VPN configuration</source>
        <translation>Could not write the VPN configuration</translation>
    </message>
    <message>
        <source>Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen.</source>
        <translation>The Quellnet service is not available right now. Please try again later.</translation>
    </message>
</context>
<context>
    <name>quellnet::FailureText</name>
    <message>
        <source>VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen.</source>
        <translation>VPN sign-in failed. Please check your password.</translation>
    </message>
    <message>
        <source>Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden.</source>
        <translation>The VPN connection was lost. Please connect again.</translation>
    </message>
    <message>
        <source>OpenVPN wurde unerwartet beendet. Bitte erneut verbinden.</source>
        <translation>OpenVPN ended unexpectedly. Please connect again.</translation>
    </message>
    <message>
        <source>OpenVPN ist mit einem Fehler abgebrochen. Bitte erneut verbinden; hilft das nicht, den Support kontaktieren.</source>
        <translation>OpenVPN stopped with an error. Please connect again; if that does not help, contact support.</translation>
    </message>
    <message>
        <source>Ein anderes Programm belegt den Steuerungsanschluss von OpenVPN (Port 1337). Bitte dieses Programm beenden.</source>
        <translation>Another program holds OpenVPN&apos;s control port (port 1337). Please quit that program.</translation>
    </message>
    <message>
        <source>OpenVPN antwortet nicht. Bitte erneut verbinden.</source>
        <translation>OpenVPN does not respond. Please connect again.</translation>
    </message>
    <message>
        <source>Der Quellnet-Hilfsdienst ist nicht erreichbar. Bitte Quellnet neu starten.</source>
        <translation>The Quellnet helper service cannot be reached. Please restart Quellnet.</translation>
    </message>
    <message>
        <source>Die VPN-Verbindung eines anderen Benutzers ist aktiv. Bitte warten, bis sie getrennt ist.</source>
        <translation>Another user&apos;s VPN connection is active. Please wait until it is disconnected.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support kontaktieren.</source>
        <translation>The helper service refused the VPN profile: it is not a client profile. Please contact support.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte Option. Bitte den Support kontaktieren.</source>
        <translation>The helper service refused the VPN profile: it contains an option that is not allowed. Please contact support.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Der Profildatei ist nicht zu trauen. Bitte erneut verbinden.</source>
        <translation>The helper service refused the VPN profile: its file cannot be trusted. Please connect again.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst konnte das VPN-Profil nicht lesen. Bitte erneut verbinden.</source>
        <translation>The helper service could not read the VPN profile. Please connect again.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst konnte OpenVPN nicht starten. Bitte erneut verbinden; hilft das nicht, Quellnet neu starten.</source>
        <translation>The helper service could not start OpenVPN. Please connect again; if that does not help, restart Quellnet.</translation>
    </message>
    <message>
        <source>OpenVPN lässt sich nicht ausführen. Bitte OpenVPN installieren.</source>
        <translation>OpenVPN cannot be run. Please install OpenVPN.</translation>
    </message>
    <message>
        <source>E-Mail-Adresse oder Passwort ist zu lang für die VPN-Anmeldung (höchstens 256 Byte). Bitte prüfen.</source>
        <translation>The email address or password is too long for the VPN sign-in (256 bytes at most). Please check them.</translation>
    </message>
    <message>
        <source>Quellnet ist unvollständig installiert. Bitte Quellnet neu installieren.</source>
        <translation>Quellnet is not installed completely. Please reinstall Quellnet.</translation>
    </message>
</context>
<context>
    <name>quellnet::MainViewController</name>
    <message>
        <source>Registrieren</source>
        <translation>Sign up</translation>
    </message>
    <message>
        <source>Hilfe</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>E-Mail</source>
        <translation>Email</translation>
    </message>
    <message>
        <source>Passwort</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Wird verbunden...</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>Trennen</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>Verbinden</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Angemeldet bleiben</source>
        <translation>Stay signed in</translation>
    </message>
    <message>
        <source>Öffnet die Preisseite von Quellnet im Browser</source>
        <translation>Opens Quellnet&apos;s pricing page in the browser</translation>
    </message>
    <message>
        <source>Öffnet die Hilfeseite von Quellnet im Browser</source>
        <translation>Opens Quellnet&apos;s help page in the browser</translation>
    </message>
    <message>
        <source>Adresse</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>Server</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>Dauer</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>Empfangen</source>
        <translation>Received</translation>
    </message>
    <message>
        <source>Gesendet</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>Die Verbindung dauert länger als üblich. Quellnet versucht es weiter; ein Klick auf die Schaltfläche bricht ab.</source>
        <translation>Connecting takes longer than usual. Quellnet keeps trying; clicking the button cancels.</translation>
    </message>
    <message>
        <source>Nicht verbunden</source>
        <translation>Not connected</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusIcon</name>
    <message>
        <source>Nicht verbunden</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>Wird verbunden...</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>Verbunden</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>Verbunden seit %1</source>
        <translation>Connected since %1</translation>
    </message>
    <message>
        <source>Verbunden seit %1 · %2</source>
        <translation>Connected since %1 · %2</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusMenu</name>
    <message>
        <source>Verbinden</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Fenster öffnen</source>
        <translation>Open window</translation>
    </message>
    <message>
        <source>Beenden</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>Beim Anmelden starten</source>
        <translation>Start at login</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusNotices</name>
    <message>
        <source>Verbunden</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>Verbindung unterbrochen</source>
        <translation>Connection lost</translation>
    </message>
    <message>
        <source>Quellnet stellt die VPN-Verbindung wieder her.</source>
        <translation>Quellnet is restoring the VPN connection.</translation>
    </message>
</context>
</TS>
