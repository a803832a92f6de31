<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="uk">
<context>
    <name>tw::MainWindow</name>
    <message>
        <source>%1 — %2</source>
        <translation>%1 — %2</translation>
    </message>
    <message>
        <source>All Containers</source>
        <translation>Усі контейнери</translation>
    </message>
    <message numerus="yes">
        <source>%n containers</source>
        <translation>
            <numerusform>%n контейнер</numerusform>
            <numerusform>%n контейнери</numerusform>
            <numerusform>%n контейнерів</numerusform>
        </translation>
    </message>
</context>
</TS>
