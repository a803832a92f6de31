<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>Dialogs</name>
    <message>
        <source>Tarnwick Pro</source>
        <translation type="vanished">Tarnwick Pro</translation>
    </message>
    <message>
        <source>Not available yet.</source>
        <translation type="vanished">Aún no está disponible.</translation>
    </message>
</context>
<context>
    <name>tw::Dialogs</name>
    <message>
        <source>Use up to 32 characters, without \ / : * ? &quot; &lt; &gt; | or surrounding spaces.</source>
        <translation>Use hasta 32 caracteres, sin \ / : * ? &quot; &lt; &gt; | ni espacios al principio o al final.</translation>
    </message>
    <message>
        <source>Use 1 to 11 uppercase letters, digits, spaces, or underscores. This is the name shown in the file manager.</source>
        <translation>Use de 1 a 11 letras mayúsculas, dígitos, espacios o guiones bajos. Es el nombre que muestra el gestor de archivos.</translation>
    </message>
    <message>
        <source>Passwords use exact UTF-8 bytes. Spaces are kept; passwords are never shortened or normalized.</source>
        <translation>Las contraseñas usan los bytes UTF-8 exactos. Los espacios se conservan; las contraseñas nunca se acortan ni se normalizan.</translation>
    </message>
    <message>
        <source>New Container</source>
        <translation>Nuevo contenedor</translation>
    </message>
    <message>
        <source>Image Removable Device</source>
        <translation>Crear imagen de dispositivo extraíble</translation>
    </message>
    <message>
        <source>Size (MiB)</source>
        <translation>Tamaño (MiB)</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Sistema de archivos</translation>
    </message>
    <message>
        <source>Creation needs temporary space for the filesystem image and the new container. Compressed size depends on the data.</source>
        <translation>La creación necesita espacio temporal para la imagen del sistema de archivos y el nuevo contenedor. El tamaño comprimido depende de los datos.</translation>
    </message>
    <message>
        <source>Volume Name</source>
        <translation>Nombre del volumen</translation>
    </message>
    <message>
        <source>The selected device will be unmounted and read without writing to it. The encrypted image preserves its partitions and filesystem.</source>
        <translation>El dispositivo seleccionado se desmontará y se leerá sin escribir en él. La imagen cifrada conserva sus particiones y su sistema de archivos.</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Algoritmo de cifrado</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Compresión</translation>
    </message>
    <message>
        <source>Custom System Key</source>
        <translation>Clave de sistema personalizada</translation>
    </message>
    <message>
        <source>Optional: 14 hexadecimal digits. Leave empty for this app’s default key.</source>
        <translation>Opcional: 14 dígitos hexadecimales. Déjelo vacío para usar la clave predeterminada de esta aplicación.</translation>
    </message>
    <message>
        <source>The entire container is initialized and verified before it is saved. Existing files are never replaced.</source>
        <translation>Todo el contenedor se inicializa y se verifica antes de guardarlo. Los archivos existentes nunca se reemplazan.</translation>
    </message>
    <message>
        <source>Mounts default to read-only. Experimental write access for NTFS, exFAT, and FAT32 is available in Mount Preferences.</source>
        <translation>Los montajes son de solo lectura de forma predeterminada. El acceso de escritura experimental para NTFS, exFAT y FAT32 está disponible en Preferencias de montaje.</translation>
    </message>
    <message>
        <source>Import from VeraCrypt</source>
        <translation>Importar desde VeraCrypt</translation>
    </message>
    <message>
        <source>Select the original VeraCrypt file. The volume can stay mounted read-only. Use a new password for the Tarnwick copy.</source>
        <translation>Seleccione el archivo VeraCrypt original. El volumen puede seguir montado en solo lectura. Use una contraseña nueva para la copia de Tarnwick.</translation>
    </message>
    <message>
        <source>VeraCrypt Password</source>
        <translation>Contraseña de VeraCrypt</translation>
    </message>
    <message>
        <source>This version imports standard VeraCrypt files that use AES, SHA-512 and the default PIM on a local ext4, XFS or Btrfs disk.</source>
        <translation>Esta versión importa archivos VeraCrypt estándar que usan AES, SHA-512 y el PIM predeterminado en un disco local ext4, XFS o Btrfs.</translation>
    </message>
    <message>
        <source>Tarnwick copies every sector into a new AES container and checks it before saving it. The copy includes free space, which can hold deleted files. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Tarnwick copia cada sector en un nuevo contenedor AES y lo comprueba antes de guardarlo. La copia incluye el espacio libre, que puede contener archivos eliminados. Conserve el archivo VeraCrypt hasta que haya comprobado sus archivos.</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Desbloqueando el volumen VeraCrypt</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Preparando el sistema de archivos</translation>
    </message>
    <message>
        <source>Cancellation waits for Linux to finish preparing the empty filesystem. No existing file will be replaced.</source>
        <translation>La cancelación espera a que Linux termine de preparar el sistema de archivos vacío. No se reemplazará ningún archivo existente.</translation>
    </message>
    <message>
        <source>Cancellation stops the image copy. The source device is never written.</source>
        <translation>La cancelación detiene la copia de la imagen. Nunca se escribe en el dispositivo de origen.</translation>
    </message>
    <message>
        <source>Cancel removes the unfinished copy. The VeraCrypt file is never changed.</source>
        <translation>Cancelar elimina la copia sin terminar. El archivo VeraCrypt nunca se modifica.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Cancelando</translation>
    </message>
    <message>
        <source>Cancelling Creation</source>
        <translation>Cancelando la creación</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>Importar</translation>
    </message>
    <message>
        <source>Create Container</source>
        <translation>Crear contenedor</translation>
    </message>
    <message>
        <source>Image Device</source>
        <translation>Crear imagen del dispositivo</translation>
    </message>
    <message>
        <source>%1.zcx</source>
        <translation>%1.zcx</translation>
    </message>
    <message>
        <source>Untitled</source>
        <translation>Sin título</translation>
    </message>
    <message>
        <source>Choose a new file in a private local folder. Existing files will never be replaced.</source>
        <translation>Elija un archivo nuevo en una carpeta local privada. Los archivos existentes nunca se reemplazarán.</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx)</source>
        <translation>Contenedores ZCX (*.zcx)</translation>
    </message>
    <message>
        <source>Choose a removable device to capture into a new encrypted container. Its volumes will be unmounted; the device is read-only during capture.</source>
        <translation>Elija un dispositivo extraíble para capturarlo en un nuevo contenedor cifrado. Sus volúmenes se desmontarán; el dispositivo es de solo lectura durante la captura.</translation>
    </message>
    <message>
        <source>Source Device</source>
        <translation>Dispositivo de origen</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Actualizar</translation>
    </message>
    <message>
        <source>No eligible removable devices found.</source>
        <translation>No se encontraron dispositivos extraíbles aptos.</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Continuar</translation>
    </message>
    <message>
        <source>Choose VeraCrypt File</source>
        <translation>Elegir archivo VeraCrypt</translation>
    </message>
    <message>
        <source>VeraCrypt volumes (*.hc)</source>
        <translation>Volúmenes VeraCrypt (*.hc)</translation>
    </message>
    <message>
        <source>Choose a new file in a private folder on a local ext4, XFS or Btrfs disk. Tarnwick leaves the VeraCrypt file intact.</source>
        <translation>Elija un archivo nuevo en una carpeta privada de un disco local ext4, XFS o Btrfs. Tarnwick no modifica el archivo VeraCrypt.</translation>
    </message>
    <message>
        <source>AES with 256-bit keys in XTS mode for disk encryption.</source>
        <translation>AES con claves de 256 bits en modo XTS para cifrado de discos.</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the XChaCha20 security notice in Important Information and Licenses.</source>
        <translation>Se recomienda AES-256-XTS. Lea el aviso de seguridad de XChaCha20 en Información importante y licencias.</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the SSE1 security notice in Important Information and Licenses.</source>
        <translation>Se recomienda AES-256-XTS. Lea el aviso de seguridad de SSE1 en Información importante y licencias.</translation>
    </message>
    <message>
        <source>XOR provides obfuscation only. It does not protect confidential data. AES-256-XTS is recommended.</source>
        <translation>XOR solo ofrece ofuscación. No protege datos confidenciales. Se recomienda AES-256-XTS.</translation>
    </message>
    <message>
        <source>Keep Current Setting</source>
        <translation>Mantener la configuración actual</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Desactivado</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Rápida (LZ4)</translation>
    </message>
    <message>
        <source>Fast compression can save disk space. Storage grows as you add data; keep free space on the disk containing this file.</source>
        <translation>La compresión rápida puede ahorrar espacio en disco. El almacenamiento crece a medida que añade datos; deje espacio libre en el disco que contiene este archivo.</translation>
    </message>
    <message>
        <source>The destination already exists. Choose a new filename.</source>
        <translation>El destino ya existe. Elija un nombre de archivo nuevo.</translation>
    </message>
    <message>
        <source>Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.</source>
        <translation>Use una contraseña de 4096 bytes UTF-8 como máximo y una clave de sistema de 14 dígitos hexadecimales.</translation>
    </message>
    <message>
        <source>Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.</source>
        <translation>Elija FAT32, exFAT o NTFS, un tamaño entero positivo en MiB y un nombre de volumen válido.</translation>
    </message>
    <message>
        <source>Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size in that range or another filesystem.</source>
        <translation>Linux formatea FAT32 de 64 MiB a 2 TiB. Elija un tamaño dentro de ese intervalo u otro sistema de archivos.</translation>
    </message>
    <message>
        <source>The requested size exceeds the file size supported by the destination filesystem or Linux.</source>
        <translation>El tamaño solicitado supera el tamaño de archivo admitido por el sistema de archivos de destino o por Linux.</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Preferencias de montaje</translation>
    </message>
    <message>
        <source>Mount label</source>
        <translation>Etiqueta de montaje</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Guardar</translation>
    </message>
    <message>
        <source>Leave blank to use the container filename. Duplicate names get a number. Changes apply on the next mount.</source>
        <translation>Déjelo en blanco para usar el nombre del archivo del contenedor. Los nombres repetidos reciben un número. Los cambios se aplican en el siguiente montaje.</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Current mount name</source>
        <translation>Nombre de montaje actual</translation>
    </message>
    <message>
        <source>Mount read-only</source>
        <translation>Montar en solo lectura</translation>
    </message>
    <message>
        <source>Experimental writes use the Linux NTFS, exFAT, and FAT drivers. Check credentials to detect support. Changes apply on the next mount.</source>
        <translation>Las escrituras experimentales usan los controladores NTFS, exFAT y FAT de Linux. Compruebe las credenciales para detectar la compatibilidad. Los cambios se aplican en el siguiente montaje.</translation>
    </message>
    <message>
        <source>Unmount after inactivity</source>
        <translation>Desmontar tras inactividad</translation>
    </message>
    <message numerus="yes">
        <source>%n minutes</source>
        <translation>
            <numerusform>%n minuto</numerusform>
            <numerusform>%n minutos</numerusform>
        </translation>
    </message>
    <message>
        <source>Custom…</source>
        <translation>Personalizado…</translation>
    </message>
    <message>
        <source>Minutes</source>
        <translation>Minutos</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Aplicar</translation>
    </message>
    <message>
        <source>Counts time without disk activity observed by the worker, including sleep. Background activity resets the timer; cached reads may not. Busy volumes stay mounted.</source>
        <translation>Cuenta el tiempo sin actividad de disco observada por el proceso de trabajo, incluida la suspensión. La actividad en segundo plano reinicia el temporizador; las lecturas en caché puede que no. Los volúmenes ocupados siguen montados.</translation>
    </message>
    <message>
        <source>Mount after sign-in</source>
        <translation>Montar al iniciar sesión</translation>
    </message>
    <message>
        <source>Enable Launch at Login in Settings, then mount once with Remember in the keyring selected. Missing credentials leave the container locked.</source>
        <translation>Active Iniciar al iniciar sesión en Configuración y luego monte una vez con Recordar en el llavero seleccionado. Si faltan credenciales, el contenedor permanece bloqueado.</translation>
    </message>
    <message>
        <source>Forget Saved Password</source>
        <translation>Olvidar la contraseña guardada</translation>
    </message>
    <message>
        <source>Enable Experimental Writes?</source>
        <translation>¿Activar escrituras experimentales?</translation>
    </message>
    <message>
        <source>Normal writes and injected errors have been tested. Crash recovery is not qualified: a crash can damage the filesystem. Keep a separate backup. Login mounts stay read-only.</source>
        <translation>Se han probado las escrituras normales y los errores inyectados. La recuperación tras fallos no está calificada: un fallo puede dañar el sistema de archivos. Mantenga una copia de seguridad aparte. Los montajes al iniciar sesión siguen siendo de solo lectura.</translation>
    </message>
    <message>
        <source>Enter 1 to 525600 minutes.</source>
        <translation>Introduzca de 1 a 525600 minutos.</translation>
    </message>
    <message>
        <source>Mount Container</source>
        <translation>Montar contenedor</translation>
    </message>
    <message>
        <source>Mount</source>
        <translation>Montar</translation>
    </message>
    <message>
        <source>Check Credentials</source>
        <translation>Comprobar credenciales</translation>
    </message>
    <message>
        <source>Check</source>
        <translation>Comprobar</translation>
    </message>
    <message>
        <source>Export Decrypted Image</source>
        <translation>Exportar imagen descifrada</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Exportar</translation>
    </message>
    <message>
        <source>Change Password</source>
        <translation>Cambiar contraseña</translation>
    </message>
    <message>
        <source>Create New Password Copy</source>
        <translation>Crear copia con contraseña nueva</translation>
    </message>
    <message>
        <source>Convert Copy</source>
        <translation>Convertir copia</translation>
    </message>
    <message>
        <source>Create Encrypted Copy</source>
        <translation>Crear copia cifrada</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path</source>
        <translation>Volver a cifrar en la misma ruta</translation>
    </message>
    <message>
        <source>Replace and Keep Backup</source>
        <translation>Reemplazar y conservar copia de seguridad</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Comprobar y reparar el sistema de archivos</translation>
    </message>
    <message>
        <source>Check and Repair</source>
        <translation>Comprobar y reparar</translation>
    </message>
    <message>
        <source>Current Password</source>
        <translation>Contraseña actual</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Contraseña</translation>
    </message>
    <message>
        <source>Leave empty for an unencrypted image.</source>
        <translation>Déjelo vacío para una imagen sin cifrar.</translation>
    </message>
    <message>
        <source>Remember in the keyring on this PC</source>
        <translation>Recordar en el llavero de este equipo</translation>
    </message>
    <message>
        <source>Required for mounting after sign-in. Saved only after a successful mount.</source>
        <translation>Necesario para montar al iniciar sesión. Solo se guarda tras un montaje correcto.</translation>
    </message>
    <message>
        <source>Applies to this mount only. Saved preferences stay unchanged.</source>
        <translation>Se aplica solo a este montaje. Las preferencias guardadas no cambian.</translation>
    </message>
    <message>
        <source>Write access is unavailable for this container.</source>
        <translation>El acceso de escritura no está disponible para este contenedor.</translation>
    </message>
    <message>
        <source>Check credentials to see whether write access is supported.</source>
        <translation>Compruebe las credenciales para saber si se admite el acceso de escritura.</translation>
    </message>
    <message>
        <source>Linux checks the container&apos;s filesystem with fsck and writes its fixes into the container. Damaged files can be lost, or saved as recovered files. Keep a copy of the container first.</source>
        <translation>Linux comprueba el sistema de archivos del contenedor con fsck y escribe sus correcciones en el contenedor. Los archivos dañados pueden perderse o guardarse como archivos recuperados. Haga antes una copia del contenedor.</translation>
    </message>
    <message>
        <source>After a clean result, the marker an unfinished write session left beside the container is removed, so the container can be mounted for writing again.</source>
        <translation>Tras un resultado limpio, se elimina el marcador que dejó junto al contenedor una sesión de escritura sin terminar, de modo que el contenedor se puede volver a montar para escritura.</translation>
    </message>
    <message>
        <source>Check Current Password</source>
        <translation>Comprobar la contraseña actual</translation>
    </message>
    <message>
        <source>New Encryption Algorithm</source>
        <translation>Nuevo algoritmo de cifrado</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Automático</translation>
    </message>
    <message>
        <source>Partition number (optional)</source>
        <translation>Número de partición (opcional)</translation>
    </message>
    <message>
        <source>Count data volumes from 1 in partition order. EFI and recovery volumes are excluded.</source>
        <translation>Cuente los volúmenes de datos desde 1 en el orden de las particiones. Se excluyen los volúmenes EFI y de recuperación.</translation>
    </message>
    <message>
        <source>A verified replacement takes this path. The original is kept beside it as a backup. Keep both files and any recovery journal together after an interruption.</source>
        <translation>Un reemplazo verificado ocupa esta ruta. El original se conserva a su lado como copia de seguridad. Tras una interrupción, mantenga juntos ambos archivos y cualquier diario de recuperación.</translation>
    </message>
    <message>
        <source>This creates an unencrypted copy.</source>
        <translation>Esto crea una copia sin cifrar.</translation>
    </message>
    <message>
        <source>The original stays unchanged, including after success.</source>
        <translation>El original no cambia, tampoco después de terminar correctamente.</translation>
    </message>
    <message>
        <source>The new encrypted copy is fully re-encoded and checked before it is saved. If interrupted, restart from the original.</source>
        <translation>La nueva copia cifrada se recodifica por completo y se comprueba antes de guardarla. Si se interrumpe, vuelva a empezar desde el original.</translation>
    </message>
    <message>
        <source>Checking…</source>
        <translation>Comprobando…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem?</source>
        <translation>¿Comprobar y reparar el sistema de archivos?</translation>
    </message>
    <message>
        <source>fsck will change the container. Continue only if you have a copy, or if the files can be lost.</source>
        <translation>fsck modificará el contenedor. Continúe solo si tiene una copia o si los archivos pueden perderse.</translation>
    </message>
    <message>
        <source>Choose a new filename. The image will contain unencrypted data.</source>
        <translation>Elija un nombre de archivo nuevo. La imagen contendrá datos sin cifrar.</translation>
    </message>
    <message>
        <source>Disk images (*.img)</source>
        <translation>Imágenes de disco (*.img)</translation>
    </message>
    <message>
        <source>Choose a new filename in a private local folder. The original will be kept. Allow enough free space for a second full container.</source>
        <translation>Elija un nombre de archivo nuevo en una carpeta local privada. Se conservará el original. Deje espacio libre suficiente para un segundo contenedor completo.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume. Write access is available again.</source>
        <translation>fsck no encontró problemas pendientes en este volumen. El acceso de escritura vuelve a estar disponible.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume.</source>
        <translation>fsck no encontró problemas pendientes en este volumen.</translation>
    </message>
    <message>
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck no pudo corregir todos los problemas. Copie sus archivos con un montaje de solo lectura y luego cree un contenedor nuevo.</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>En ejecución</translation>
    </message>
    <message>
        <source>Disabled</source>
        <translation>Deshabilitado</translation>
    </message>
    <message>
        <source>Not installed</source>
        <translation>No instalado</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Detenido</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Inicio</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Iniciar al iniciar sesión</translation>
    </message>
    <message>
        <source>Only containers with Mount after sign-in enabled are mounted. Each is tried once using credentials you saved in the keyring.</source>
        <translation>Solo se montan los contenedores con Montar al iniciar sesión activado. Cada uno se intenta una vez con las credenciales guardadas en el llavero.</translation>
    </message>
    <message>
        <source>This Build</source>
        <translation>Esta compilación</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Versión</translation>
    </message>
    <message>
        <source>Mount containers, browse them in the file manager, and unmount them when finished.</source>
        <translation>Monte contenedores, explórelos en el gestor de archivos y desmóntelos al terminar.</translation>
    </message>
    <message>
        <source>Quit for Update</source>
        <translation>Salir para actualizar</translation>
    </message>
    <message>
        <source>Unmount all containers and finish recovery first. This also stops the idle mount service.</source>
        <translation>Primero desmonte todos los contenedores y termine la recuperación. Esto también detiene el servicio de montaje inactivo.</translation>
    </message>
    <message>
        <source>Storage Backend</source>
        <translation>Almacenamiento</translation>
    </message>
    <message>
        <source>A mount service update is available. Unmount all containers and finish recovery before restarting it.</source>
        <translation>Hay una actualización del servicio de montaje disponible. Desmonte todos los contenedores y termine la recuperación antes de reiniciarlo.</translation>
    </message>
    <message>
        <source>Restart Mount Service</source>
        <translation>Reiniciar el servicio de montaje</translation>
    </message>
    <message>
        <source>Tarnwick Broker service</source>
        <translation>Servicio Tarnwick Broker</translation>
    </message>
    <message>
        <source>Tarnwick initiator service</source>
        <translation>Servicio iniciador de Tarnwick</translation>
    </message>
    <message>
        <source>Mounted containers are served to the built-in Tarnwick initiator service on 127.0.0.1 only. Nothing is exposed to the network.</source>
        <translation>Los contenedores montados se sirven al servicio iniciador integrado de Tarnwick solo en 127.0.0.1. Nada queda expuesto a la red.</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Privacidad</translation>
    </message>
    <message>
        <source>Passwords are saved only when you select Remember in the keyring. Container references, preferences, and the last check result stay on this PC.</source>
        <translation>Las contraseñas solo se guardan si selecciona Recordar en el llavero. Las referencias a contenedores, las preferencias y el último resultado de comprobación permanecen en este equipo.</translation>
    </message>
    <message>
        <source>A decrypted export contains plaintext. Keep it somewhere you trust.</source>
        <translation>Una exportación descifrada contiene texto sin cifrar. Guárdela en un lugar de confianza.</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Configuración</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
</context>
<context>
    <name>tw::FormDialog</name>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Advanced</source>
        <translation>Avanzado</translation>
    </message>
</context>
</TS>
