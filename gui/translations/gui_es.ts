<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>tw::MainWindow</name>
    <message>
        <source>%1 — %2</source>
        <translation>%1 — %2</translation>
    </message>
    <message>
        <source>All Containers</source>
        <translation>Todos los contenedores</translation>
    </message>
    <message numerus="yes">
        <source>%n containers</source>
        <translation>
            <numerusform>%n contenedor</numerusform>
            <numerusform>%n contenedores</numerusform>
        </translation>
    </message>
</context>
</TS>
