<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>tw::MainWindow</name>
    <message>
        <source>%1 — %2</source>
        <translation>%1 — %2</translation>
    </message>
    <message>
        <source>All Containers</source>
        <translation>Все контейнеры</translation>
    </message>
    <message numerus="yes">
        <source>%n containers</source>
        <translation>
            <numerusform>%n контейнер</numerusform>
            <numerusform>%n контейнера</numerusform>
            <numerusform>%n контейнеров</numerusform>
        </translation>
    </message>
</context>
</TS>
