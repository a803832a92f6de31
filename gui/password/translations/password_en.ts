<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>tw::PasswordPanel</name>
    <message numerus="yes">
        <source>Length: %n characters</source>
        <translation>
            <numerusform>Length: %n character</numerusform>
            <numerusform>Length: %n characters</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Password limit: %n UTF-8 bytes.</source>
        <translation>
            <numerusform>Password limit: %n UTF-8 byte.</numerusform>
            <numerusform>Password limit: %n UTF-8 bytes.</numerusform>
        </translation>
    </message>
</context>
</TS>
