<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>Dialogs</name>
    <message>
        <source>Tarnwick Pro</source>
        <translation>Tarnwick Pro</translation>
    </message>
    <message>
        <source>Not available yet.</source>
        <translation>Aún no está disponible.</translation>
    </message>
</context>
</TS>
