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
</TS>
