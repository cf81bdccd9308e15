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
</TS>
