<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="uk">
<context>
    <name>tw::PasswordPanel</name>
    <message>
        <source>Weak</source>
        <translation>Слабкий</translation>
    </message>
    <message>
        <source>Fair</source>
        <translation>Середній</translation>
    </message>
    <message>
        <source>Strong</source>
        <translation>Сильний</translation>
    </message>
    <message>
        <source>Very strong</source>
        <translation>Дуже сильний</translation>
    </message>
    <message>
        <source>Show Password</source>
        <translation>Показати пароль</translation>
    </message>
    <message>
        <source>Hide Password</source>
        <translation>Сховати пароль</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Копіювати</translation>
    </message>
    <message>
        <source>New Password</source>
        <translation>Новий пароль</translation>
    </message>
    <message>
        <source>Confirm New Password</source>
        <translation>Підтвердьте новий пароль</translation>
    </message>
    <message>
        <source>Include symbols</source>
        <translation>Включати символи</translation>
    </message>
    <message>
        <source>Generate</source>
        <translation>Згенерувати</translation>
    </message>
    <message>
        <source>Length</source>
        <translation>Довжина</translation>
    </message>
    <message numerus="yes">
        <source>Length: %n characters</source>
        <translation>
            <numerusform>Довжина: %n символ</numerusform>
            <numerusform>Довжина: %n символи</numerusform>
            <numerusform>Довжина: %n символів</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Password limit: %n UTF-8 bytes.</source>
        <translation>
            <numerusform>Обмеження пароля: %n байт UTF-8.</numerusform>
            <numerusform>Обмеження пароля: %n байти UTF-8.</numerusform>
            <numerusform>Обмеження пароля: %n байтів UTF-8.</numerusform>
        </translation>
    </message>
    <message>
        <source>Check the current password before generating a new one.</source>
        <translation>Перевірте поточний пароль, перш ніж генерувати новий.</translation>
    </message>
    <message>
        <source>The new passwords do not match.</source>
        <translation>Нові паролі не збігаються.</translation>
    </message>
    <message>
        <source>The new password is too long.</source>
        <translation>Новий пароль задовгий.</translation>
    </message>
    <message>
        <source>Password strength unavailable</source>
        <translation>Надійність пароля невідома</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Password strength</source>
        <translation>Надійність пароля</translation>
    </message>
    <message>
        <source>Add another word or two. Uncommon words are better.</source>
        <translation>Додайте ще одне-два слова. Незвичні слова кращі.</translation>
    </message>
    <message>
        <source>Use a unique password for this container.</source>
        <translation>Використовуйте для цього контейнера унікальний пароль.</translation>
    </message>
    <message>
        <source>Choose a length within this cipher&apos;s password limit.</source>
        <translation>Виберіть довжину в межах обмеження пароля для цього шифру.</translation>
    </message>
    <message>
        <source>Linux could not generate secure random bytes. Try again.</source>
        <translation>Linux не зміг згенерувати безпечні випадкові байти. Спробуйте ще раз.</translation>
    </message>
</context>
</TS>
