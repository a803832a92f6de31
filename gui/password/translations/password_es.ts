<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>tw::PasswordPanel</name>
    <message>
        <source>Weak</source>
        <translation>Débil</translation>
    </message>
    <message>
        <source>Fair</source>
        <translation>Aceptable</translation>
    </message>
    <message>
        <source>Strong</source>
        <translation>Fuerte</translation>
    </message>
    <message>
        <source>Very strong</source>
        <translation>Muy fuerte</translation>
    </message>
    <message>
        <source>Show Password</source>
        <translation>Mostrar contraseña</translation>
    </message>
    <message>
        <source>Hide Password</source>
        <translation>Ocultar contraseña</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Copiar</translation>
    </message>
    <message>
        <source>New Password</source>
        <translation>Nueva contraseña</translation>
    </message>
    <message>
        <source>Confirm New Password</source>
        <translation>Confirme la nueva contraseña</translation>
    </message>
    <message>
        <source>Include symbols</source>
        <translation>Incluir símbolos</translation>
    </message>
    <message>
        <source>Generate</source>
        <translation>Generar</translation>
    </message>
    <message>
        <source>Length</source>
        <translation>Longitud</translation>
    </message>
    <message numerus="yes">
        <source>Length: %n characters</source>
        <translation>
            <numerusform>Longitud: %n carácter</numerusform>
            <numerusform>Longitud: %n caracteres</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Password limit: %n UTF-8 bytes.</source>
        <translation>
            <numerusform>Límite de la contraseña: %n byte UTF-8.</numerusform>
            <numerusform>Límite de la contraseña: %n bytes UTF-8.</numerusform>
        </translation>
    </message>
    <message>
        <source>Check the current password before generating a new one.</source>
        <translation>Compruebe la contraseña actual antes de generar una nueva.</translation>
    </message>
    <message>
        <source>The new passwords do not match.</source>
        <translation>Las contraseñas nuevas no coinciden.</translation>
    </message>
    <message>
        <source>The new password is too long.</source>
        <translation>La contraseña nueva es demasiado larga.</translation>
    </message>
    <message>
        <source>Password strength unavailable</source>
        <translation>Fortaleza de la contraseña no disponible</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Password strength</source>
        <translation>Fortaleza de la contraseña</translation>
    </message>
    <message>
        <source>Add another word or two. Uncommon words are better.</source>
        <translation>Añada una o dos palabras más. Las palabras poco comunes son mejores.</translation>
    </message>
    <message>
        <source>Use a unique password for this container.</source>
        <translation>Use una contraseña única para este contenedor.</translation>
    </message>
    <message>
        <source>Choose a length within this cipher&apos;s password limit.</source>
        <translation>Elija una longitud dentro del límite de contraseña de este cifrado.</translation>
    </message>
    <message>
        <source>Linux could not generate secure random bytes. Try again.</source>
        <translation>Linux no pudo generar bytes aleatorios seguros. Inténtelo de nuevo.</translation>
    </message>
</context>
</TS>
