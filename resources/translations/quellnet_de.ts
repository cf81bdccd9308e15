<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>MainView</name>
    <message>
        <source>Angemeldet bleiben</source>
        <translation>Angemeldet bleiben</translation>
    </message>
    <message>
        <source>Verbinden</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>Registrieren</source>
        <translation>Registrieren</translation>
    </message>
    <message>
        <source>Hilfe</source>
        <translation>Hilfe</translation>
    </message>
</context>
<context>
    <name>quellnet::ConnectFlow</name>
    <message>
        <source>Email should not be empty!</source>
        <translation>Die E-Mail-Adresse darf nicht leer sein!</translation>
    </message>
    <message>
        <source>Password should not be empty!</source>
        <translation>Das Passwort darf nicht leer sein!</translation>
    </message>
    <message>
        <source>Email must not contain control characters!</source>
        <translation>Die E-Mail-Adresse darf keine Steuerzeichen enthalten!</translation>
    </message>
    <message>
        <source>Password must not contain control characters!</source>
        <translation>Das Passwort darf keine Steuerzeichen enthalten!</translation>
    </message>
    <message>
        <source>Falsche E-Mail Adresse oder Passwort</source>
        <translation>Falsche E-Mail Adresse oder Passwort</translation>
    </message>
    <message>
        <source>Network connection failed</source>
        <translation>Netzwerkverbindung fehlgeschlagen</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>Unbekannter Fehler</translation>
    </message>
    <message>
        <source>Could not write the VPN configuration</source>
        <translation>Die VPN-Konfiguration konnte nicht geschrieben werden</translation>
    </message>
    <message>
        <source>Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen.</source>
        <translation>Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen.</translation>
    </message>
</context>
<context>
    <name>quellnet::FailureText</name>
    <message>
        <source>VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen.</source>
        <translation>VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen.</translation>
    </message>
    <message>
        <source>Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden.</source>
        <translation>Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden.</translation>
    </message>
    <message>
        <source>OpenVPN wurde unerwartet beendet. Bitte erneut verbinden.</source>
        <translation>OpenVPN wurde unerwartet beendet. Bitte erneut verbinden.</translation>
    </message>
    <message>
        <source>OpenVPN ist mit einem Fehler abgebrochen. Bitte erneut verbinden; hilft das nicht, den Support kontaktieren.</source>
        <translation>OpenVPN ist mit einem Fehler abgebrochen. Bitte erneut verbinden; hilft das nicht, den Support kontaktieren.</translation>
    </message>
    <message>
        <source>Ein anderes Programm belegt den Steuerungsanschluss von OpenVPN (Port 1337). Bitte dieses Programm beenden.</source>
        <translation>Ein anderes Programm belegt den Steuerungsanschluss von OpenVPN (Port 1337). Bitte dieses Programm beenden.</translation>
    </message>
    <message>
        <source>OpenVPN antwortet nicht. Bitte erneut verbinden.</source>
        <translation>OpenVPN antwortet nicht. Bitte erneut verbinden.</translation>
    </message>
    <message>
        <source>Der Quellnet-Hilfsdienst ist nicht erreichbar. Bitte Quellnet neu starten.</source>
        <translation>Der Quellnet-Hilfsdienst ist nicht erreichbar. Bitte Quellnet neu starten.</translation>
    </message>
    <message>
        <source>Die VPN-Verbindung eines anderen Benutzers ist aktiv. Bitte warten, bis sie getrennt ist.</source>
        <translation>Die VPN-Verbindung eines anderen Benutzers ist aktiv. Bitte warten, bis sie getrennt ist.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support kontaktieren.</source>
        <translation>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support kontaktieren.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte Option. Bitte den Support kontaktieren.</source>
        <translation>Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte Option. Bitte den Support kontaktieren.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst hat das VPN-Profil abgelehnt: Der Profildatei ist nicht zu trauen. Bitte erneut verbinden.</source>
        <translation>Der Hilfsdienst hat das VPN-Profil abgelehnt: Der Profildatei ist nicht zu trauen. Bitte erneut verbinden.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst konnte das VPN-Profil nicht lesen. Bitte erneut verbinden.</source>
        <translation>Der Hilfsdienst konnte das VPN-Profil nicht lesen. Bitte erneut verbinden.</translation>
    </message>
    <message>
        <source>Der Hilfsdienst konnte OpenVPN nicht starten. Bitte erneut verbinden; hilft das nicht, Quellnet neu starten.</source>
        <translation>Der Hilfsdienst konnte OpenVPN nicht starten. Bitte erneut verbinden; hilft das nicht, Quellnet neu starten.</translation>
    </message>
    <message>
        <source>OpenVPN lässt sich nicht ausführen. Bitte OpenVPN installieren.</source>
        <translation>OpenVPN lässt sich nicht ausführen. Bitte OpenVPN installieren.</translation>
    </message>
    <message>
        <source>E-Mail-Adresse oder Passwort ist zu lang für die VPN-Anmeldung (höchstens 256 Byte). Bitte prüfen.</source>
        <translation>E-Mail-Adresse oder Passwort ist zu lang für die VPN-Anmeldung (höchstens 256 Byte). Bitte prüfen.</translation>
    </message>
    <message>
        <source>Quellnet ist unvollständig installiert. Bitte Quellnet neu installieren.</source>
        <translation>Quellnet ist unvollständig installiert. Bitte Quellnet neu installieren.</translation>
    </message>
</context>
<context>
    <name>quellnet::MainViewController</name>
    <message>
        <source>Registrieren</source>
        <translation>Registrieren</translation>
    </message>
    <message>
        <source>Hilfe</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>E-Mail</source>
        <translation>E-Mail</translation>
    </message>
    <message>
        <source>Passwort</source>
        <translation>Passwort</translation>
    </message>
    <message>
        <source>Wird verbunden...</source>
        <translation>Wird verbunden...</translation>
    </message>
    <message>
        <source>Trennen</source>
        <translation>Trennen</translation>
    </message>
    <message>
        <source>Verbinden</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>Angemeldet bleiben</source>
        <translation>Angemeldet bleiben</translation>
    </message>
    <message>
        <source>Öffnet die Preisseite von Quellnet im Browser</source>
        <translation>Öffnet die Preisseite von Quellnet im Browser</translation>
    </message>
    <message>
        <source>Öffnet die Hilfeseite von Quellnet im Browser</source>
        <translation>Öffnet die Hilfeseite von Quellnet im Browser</translation>
    </message>
    <message>
        <source>Adresse</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Server</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>Dauer</source>
        <translation>Dauer</translation>
    </message>
    <message>
        <source>Empfangen</source>
        <translation>Empfangen</translation>
    </message>
    <message>
        <source>Gesendet</source>
        <translation>Gesendet</translation>
    </message>
    <message>
        <source>Die Verbindung dauert länger als üblich. Quellnet versucht es weiter; ein Klick auf die Schaltfläche bricht ab.</source>
        <translation>Die Verbindung dauert länger als üblich. Quellnet versucht es weiter; ein Klick auf die Schaltfläche bricht ab.</translation>
    </message>
    <message>
        <source>Nicht verbunden</source>
        <translation>Nicht verbunden</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusIcon</name>
    <message>
        <source>Nicht verbunden</source>
        <translation>Nicht verbunden</translation>
    </message>
    <message>
        <source>Wird verbunden...</source>
        <translation>Wird verbunden...</translation>
    </message>
    <message>
        <source>Verbunden</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>Verbunden seit %1</source>
        <translation>Verbunden seit %1</translation>
    </message>
    <message>
        <source>Verbunden seit %1 · %2</source>
        <translation>Verbunden seit %1 · %2</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusMenu</name>
    <message>
        <source>Verbinden</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>Fenster öffnen</source>
        <translation>Fenster öffnen</translation>
    </message>
    <message>
        <source>Beenden</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Beim Anmelden starten</source>
        <translation>Beim Anmelden starten</translation>
    </message>
</context>
<context>
    <name>quellnet::StatusNotices</name>
    <message>
        <source>Verbunden</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>Verbindung unterbrochen</source>
        <translation>Verbindung unterbrochen</translation>
    </message>
    <message>
        <source>Quellnet stellt die VPN-Verbindung wieder her.</source>
        <translation>Quellnet stellt die VPN-Verbindung wieder her.</translation>
    </message>
</context>
</TS>
