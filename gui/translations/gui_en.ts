<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>tw::MainWindow</name>
    <message numerus="yes">
        <source>%n containers</source>
        <translation>
            <numerusform>%n container</numerusform>
            <numerusform>%n containers</numerusform>
        </translation>
    </message>
</context>
</TS>
