<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>tw::PasswordPanel</name>
    <message>
        <source>Weak</source>
        <translation>Слабый</translation>
    </message>
    <message>
        <source>Fair</source>
        <translation>Средний</translation>
    </message>
    <message>
        <source>Strong</source>
        <translation>Сильный</translation>
    </message>
    <message>
        <source>Very strong</source>
        <translation>Очень сильный</translation>
    </message>
    <message>
        <source>Show Password</source>
        <translation>Показать пароль</translation>
    </message>
    <message>
        <source>Hide Password</source>
        <translation>Скрыть пароль</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Копировать</translation>
    </message>
    <message>
        <source>New Password</source>
        <translation>Новый пароль</translation>
    </message>
    <message>
        <source>Confirm New Password</source>
        <translation>Подтвердите новый пароль</translation>
    </message>
    <message>
        <source>Include symbols</source>
        <translation>Включать символы</translation>
    </message>
    <message>
        <source>Generate</source>
        <translation>Сгенерировать</translation>
    </message>
    <message>
        <source>Length</source>
        <translation>Длина</translation>
    </message>
    <message numerus="yes">
        <source>Length: %n characters</source>
        <translation>
            <numerusform>Длина: %n символ</numerusform>
            <numerusform>Длина: %n символа</numerusform>
            <numerusform>Длина: %n символов</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Password limit: %n UTF-8 bytes.</source>
        <translation>
            <numerusform>Ограничение пароля: %n байт UTF-8.</numerusform>
            <numerusform>Ограничение пароля: %n байта UTF-8.</numerusform>
            <numerusform>Ограничение пароля: %n байт UTF-8.</numerusform>
        </translation>
    </message>
    <message>
        <source>Check the current password before generating a new one.</source>
        <translation>Проверьте текущий пароль, прежде чем генерировать новый.</translation>
    </message>
    <message>
        <source>The new passwords do not match.</source>
        <translation>Новые пароли не совпадают.</translation>
    </message>
    <message>
        <source>The new password is too long.</source>
        <translation>Новый пароль слишком длинный.</translation>
    </message>
    <message>
        <source>Password strength unavailable</source>
        <translation>Надёжность пароля недоступна</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Password strength</source>
        <translation>Надёжность пароля</translation>
    </message>
    <message>
        <source>Add another word or two. Uncommon words are better.</source>
        <translation>Добавьте ещё одно-два слова. Необычные слова лучше.</translation>
    </message>
    <message>
        <source>Use a unique password for this container.</source>
        <translation>Используйте для этого контейнера уникальный пароль.</translation>
    </message>
    <message>
        <source>Choose a length within this cipher&apos;s password limit.</source>
        <translation>Выберите длину в пределах ограничения пароля для этого шифра.</translation>
    </message>
    <message>
        <source>Linux could not generate secure random bytes. Try again.</source>
        <translation>Linux не смог сгенерировать безопасные случайные байты. Попробуйте ещё раз.</translation>
    </message>
</context>
</TS>
