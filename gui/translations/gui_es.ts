<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>QObject</name>
    <message>
        <source>Tarnwick Could Not Be Opened</source>
        <translation>No se pudo abrir Tarnwick</translation>
    </message>
    <message>
        <source>The other Tarnwick instance is not responding. Try opening it again shortly.</source>
        <translation>La otra instancia de Tarnwick no responde. Intente abrirla de nuevo en unos momentos.</translation>
    </message>
    <message>
        <source>The window could not be created.</source>
        <translation>No se pudo crear la ventana.</translation>
    </message>
</context>
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
    <message>
        <source>Inspecting</source>
        <translation>Examinando</translation>
    </message>
    <message>
        <source>Checking Credentials</source>
        <translation>Comprobando credenciales</translation>
    </message>
    <message>
        <source>Re-encoding</source>
        <translation>Recodificando</translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Exportando</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Preparando el sistema de archivos</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Desbloqueando el volumen VeraCrypt</translation>
    </message>
    <message>
        <source>Mounting</source>
        <translation>Montando</translation>
    </message>
    <message>
        <source>Unmounting</source>
        <translation>Desmontando</translation>
    </message>
    <message>
        <source>Saving Preferences</source>
        <translation>Guardando preferencias</translation>
    </message>
    <message>
        <source>Recovering Replacement</source>
        <translation>Recuperando el reemplazo</translation>
    </message>
    <message>
        <source>Checking Filesystem</source>
        <translation>Comprobando el sistema de archivos</translation>
    </message>
    <message>
        <source>Verifying New Container</source>
        <translation>Verificando el nuevo contenedor</translation>
    </message>
    <message>
        <source>Finishing</source>
        <translation>Finalizando</translation>
    </message>
    <message>
        <source>Reading Device</source>
        <translation>Leyendo el dispositivo</translation>
    </message>
    <message>
        <source>Copying VeraCrypt Volume</source>
        <translation>Copiando el volumen VeraCrypt</translation>
    </message>
    <message>
        <source>Checking New Container</source>
        <translation>Comprobando el nuevo contenedor</translation>
    </message>
    <message>
        <source>Initializing Encrypted Container</source>
        <translation>Inicializando el contenedor cifrado</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Archivo</translation>
    </message>
    <message>
        <source>New Container…</source>
        <translation>Nuevo contenedor…</translation>
    </message>
    <message>
        <source>Image Removable Device…</source>
        <translation>Crear imagen de un dispositivo extraíble…</translation>
    </message>
    <message>
        <source>Import from VeraCrypt…</source>
        <translation>Importar desde VeraCrypt…</translation>
    </message>
    <message>
        <source>Open Containers…</source>
        <translation>Abrir contenedores…</translation>
    </message>
    <message>
        <source>Open Containers</source>
        <translation>Abrir contenedores</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx);;All files (*)</source>
        <translation>Contenedores ZCX (*.zcx);;Todos los archivos (*)</translation>
    </message>
    <message>
        <source>Settings…</source>
        <translation>Configuración…</translation>
    </message>
    <message>
        <source>Important Information, Data Safety and Liability (English)</source>
        <translation>Información importante, seguridad de los datos y responsabilidad (en inglés)</translation>
    </message>
    <message>
        <source>Quit Tarnwick</source>
        <translation>Salir de Tarnwick</translation>
    </message>
    <message>
        <source>&amp;Container</source>
        <translation>&amp;Contenedor</translation>
    </message>
    <message>
        <source>Mount…</source>
        <translation>Montar…</translation>
    </message>
    <message>
        <source>Check Credentials…</source>
        <translation>Comprobar credenciales…</translation>
    </message>
    <message>
        <source>Change Password…</source>
        <translation>Cambiar la contraseña…</translation>
    </message>
    <message>
        <source>Convert Copy…</source>
        <translation>Convertir en una copia…</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path…</source>
        <translation>Volver a cifrar en la misma ruta…</translation>
    </message>
    <message>
        <source>Export Decrypted Image…</source>
        <translation>Exportar la imagen descifrada…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem…</source>
        <translation>Comprobar y reparar el sistema de archivos…</translation>
    </message>
    <message>
        <source>Unmount</source>
        <translation>Desmontar</translation>
    </message>
    <message>
        <source>Recover Replacement</source>
        <translation>Recuperar el reemplazo</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Mostrar en el gestor de archivos</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Actualizar</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Barra de herramientas</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Abrir</translation>
    </message>
    <message>
        <source>Operations</source>
        <translation>Operaciones</translation>
    </message>
    <message>
        <source>Inspector</source>
        <translation>Inspector</translation>
    </message>
    <message>
        <source>Search containers</source>
        <translation>Buscar contenedores</translation>
    </message>
    <message>
        <source>Favorites</source>
        <translation>Favoritos</translation>
    </message>
    <message>
        <source>Needs Attention</source>
        <translation>Requieren atención</translation>
    </message>
    <message>
        <source>Local by design</source>
        <translation>Local por diseño</translation>
    </message>
    <message>
        <source>Your containers stay on your PC.</source>
        <translation>Sus contenedores permanecen en su equipo.</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Nombre</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Tamaño</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Estado</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Sistema de archivos</translation>
    </message>
    <message>
        <source>Open in File Manager</source>
        <translation>Abrir en el gestor de archivos</translation>
    </message>
    <message>
        <source>Dismiss Write Error</source>
        <translation>Descartar el error de escritura</translation>
    </message>
    <message>
        <source>Retry Cleanup</source>
        <translation>Reintentar la limpieza</translation>
    </message>
    <message>
        <source>Remove Favorite</source>
        <translation>Quitar de favoritos</translation>
    </message>
    <message>
        <source>Add Favorite</source>
        <translation>Añadir a favoritos</translation>
    </message>
    <message>
        <source>Remove from Library</source>
        <translation>Quitar de la biblioteca</translation>
    </message>
    <message>
        <source>Your Containers</source>
        <translation>Sus contenedores</translation>
    </message>
    <message>
        <source>Open a ZCX container to mount it and browse its files in the file manager.</source>
        <translation>Abra un contenedor ZCX para montarlo y explorar sus archivos en el gestor de archivos.</translation>
    </message>
    <message>
        <source>Recent Operations</source>
        <translation>Operaciones recientes</translation>
    </message>
    <message>
        <source>This library needs a newer Tarnwick version.</source>
        <translation>Esta biblioteca necesita una versión más reciente de Tarnwick.</translation>
    </message>
    <message>
        <source>The library file could not be read.</source>
        <translation>No se pudo leer el archivo de la biblioteca.</translation>
    </message>
    <message>
        <source>Library Could Not Be Opened</source>
        <translation>No se pudo abrir la biblioteca</translation>
    </message>
    <message>
        <source>Your library file has been left unchanged.</source>
        <translation>El archivo de su biblioteca no se ha modificado.</translation>
    </message>
    <message>
        <source>Library Could Not Be Saved</source>
        <translation>No se pudo guardar la biblioteca</translation>
    </message>
    <message>
        <source>Mounted read-write</source>
        <translation>Montado en lectura y escritura</translation>
    </message>
    <message>
        <source>Mounted read-only</source>
        <translation>Montado solo lectura</translation>
    </message>
    <message>
        <source>Recovery needed</source>
        <translation>Requiere recuperación</translation>
    </message>
    <message>
        <source>Needs attention</source>
        <translation>Requiere atención</translation>
    </message>
    <message>
        <source>Checked</source>
        <translation>Comprobado</translation>
    </message>
    <message>
        <source>Not checked</source>
        <translation>Sin comprobar</translation>
    </message>
    <message>
        <source>Select a Container</source>
        <translation>Seleccione un contenedor</translation>
    </message>
    <message>
        <source>Its details and available actions appear here.</source>
        <translation>Aquí aparecerán sus detalles y las acciones disponibles.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Cancelando</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>An unfinished write session was detected. Mount the container read-only to copy files, or use Check and Repair before writing to it.</source>
        <translation>Se detectó una sesión de escritura sin terminar. Monte el contenedor en solo lectura para copiar los archivos, o use Comprobar y reparar antes de escribir en él.</translation>
    </message>
    <message>
        <source>A recovery checkpoint is damaged. Create a verified encrypted copy before mounting. The original stays unchanged.</source>
        <translation>Un punto de control de recuperación está dañado. Cree una copia cifrada verificada antes de montarlo. El original no se modifica.</translation>
    </message>
    <message>
        <source>An unfinished conversion was detected. Keep the container and its recovery files together. Checking and export are blocked.</source>
        <translation>Se detectó una conversión sin terminar. Mantenga juntos el contenedor y sus archivos de recuperación. La comprobación y la exportación están bloqueadas.</translation>
    </message>
    <message>
        <source>Container Details</source>
        <translation>Detalles del contenedor</translation>
    </message>
    <message>
        <source>Storage Used</source>
        <translation>Espacio usado</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Compresión</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Rápida (LZ4)</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Desactivada</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Algoritmo de cifrado</translation>
    </message>
    <message>
        <source>Last Checked</source>
        <translation>Última comprobación</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Preferencias de montaje</translation>
    </message>
    <message>
        <source>Location</source>
        <translation>Ubicación</translation>
    </message>
    <message>
        <source>Locate…</source>
        <translation>Localizar…</translation>
    </message>
    <message>
        <source>Mounts open in the file manager. Closing Tarnwick keeps them mounted; use Unmount when finished.</source>
        <translation>Los montajes se abren en el gestor de archivos. Al cerrar Tarnwick siguen montados; use Desmontar cuando termine.</translation>
    </message>
    <message>
        <source>Mount service unavailable</source>
        <translation>Servicio de montaje no disponible</translation>
    </message>
    <message>
        <source>Mount service update available</source>
        <translation>Hay una actualización del servicio de montaje</translation>
    </message>
    <message>
        <source>Mount Preview</source>
        <translation>Montaje en vista previa</translation>
    </message>
    <message>
        <source>Create Recovery Copy…</source>
        <translation>Crear una copia de recuperación…</translation>
    </message>
    <message>
        <source>Show Tarnwick</source>
        <translation>Mostrar Tarnwick</translation>
    </message>
    <message>
        <source>%1 · %2</source>
        <translation>%1 · %2</translation>
    </message>
    <message>
        <source>Unmount All and Quit</source>
        <translation>Desmontar todo y salir</translation>
    </message>
    <message>
        <source>Too Many Operations</source>
        <translation>Demasiadas operaciones</translation>
    </message>
    <message>
        <source>Wait for an operation to finish, then try again.</source>
        <translation>Espere a que termine una operación y vuelva a intentarlo.</translation>
    </message>
    <message>
        <source>Container Changed</source>
        <translation>El contenedor cambió</translation>
    </message>
    <message>
        <source>Select the container again before starting this operation.</source>
        <translation>Vuelva a seleccionar el contenedor antes de iniciar esta operación.</translation>
    </message>
    <message>
        <source>An Operation Is Still Running</source>
        <translation>Todavía hay una operación en curso</translation>
    </message>
    <message>
        <source>Wait for it to finish, or cancel the operation and quit.</source>
        <translation>Espere a que termine o cancele la operación y salga.</translation>
    </message>
    <message>
        <source>Wait for the completed copy to be saved before quitting.</source>
        <translation>Espere a que se guarde la copia terminada antes de salir.</translation>
    </message>
    <message>
        <source>Keep Running</source>
        <translation>Seguir ejecutando</translation>
    </message>
    <message>
        <source>Cancel and Quit</source>
        <translation>Cancelar y salir</translation>
    </message>
    <message>
        <source>Wait and Quit</source>
        <translation>Esperar y salir</translation>
    </message>
    <message>
        <source>The mount service is unavailable.</source>
        <translation>El servicio de montaje no está disponible.</translation>
    </message>
    <message>
        <source>Credentials and structure checked</source>
        <translation>Credenciales y estructura comprobadas</translation>
    </message>
    <message>
        <source>Decrypted image saved</source>
        <translation>Imagen descifrada guardada</translation>
    </message>
    <message>
        <source>New password copy verified and saved. Original kept.</source>
        <translation>Copia con la nueva contraseña verificada y guardada. Se conserva el original.</translation>
    </message>
    <message>
        <source>Replacement verified. Original backup kept.</source>
        <translation>Reemplazo verificado. Se conserva la copia de seguridad del original.</translation>
    </message>
    <message>
        <source>Operation cancelled. Original kept. If a new file exists, verify it before using it.</source>
        <translation>Operación cancelada. Se conserva el original. Si existe un archivo nuevo, verifíquelo antes de usarlo.</translation>
    </message>
    <message>
        <source>Operation cancelled</source>
        <translation>Operación cancelada</translation>
    </message>
    <message>
        <source>Original kept. If a new file exists, verify it before using it. Restart from the original after an interruption; do not rename or use a .partial file.</source>
        <translation>Se conserva el original. Si existe un archivo nuevo, verifíquelo antes de usarlo. Tras una interrupción, vuelva a empezar desde el original; no cambie el nombre ni use un archivo .partial.</translation>
    </message>
    <message>
        <source>Operation Could Not Finish</source>
        <translation>No se pudo completar la operación</translation>
    </message>
    <message>
        <source>VeraCrypt volume imported and verified. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Volumen VeraCrypt importado y verificado. Conserve el archivo VeraCrypt hasta que haya comprobado sus archivos.</translation>
    </message>
    <message>
        <source>Container created and verified.</source>
        <translation>Contenedor creado y verificado.</translation>
    </message>
    <message>
        <source>Check the New Container</source>
        <translation>Compruebe el nuevo contenedor</translation>
    </message>
    <message>
        <source>Interrupted Imports Need Attention</source>
        <translation>Las importaciones interrumpidas requieren atención</translation>
    </message>
    <message>
        <source>Some records of interrupted imports were kept because the files they name failed a safety check. Review %1 before you delete anything there.</source>
        <translation>Se conservaron algunos registros de importaciones interrumpidas porque los archivos que nombran no superaron una comprobación de seguridad. Revise %1 antes de borrar nada allí.</translation>
    </message>
    <message>
        <source>Import cancelled. The VeraCrypt file was not changed and no container was saved.</source>
        <translation>Importación cancelada. El archivo VeraCrypt no se modificó y no se guardó ningún contenedor.</translation>
    </message>
    <message>
        <source>Container creation cancelled. No existing file was replaced.</source>
        <translation>Creación del contenedor cancelada. No se reemplazó ningún archivo existente.</translation>
    </message>
    <message>
        <source>Import Could Not Finish</source>
        <translation>No se pudo completar la importación</translation>
    </message>
    <message>
        <source>Creation Could Not Finish</source>
        <translation>No se pudo completar la creación</translation>
    </message>
    <message>
        <source>Unmounted</source>
        <translation>Desmontado</translation>
    </message>
    <message>
        <source>Check and Repair Could Not Finish</source>
        <translation>No se pudo completar la comprobación y reparación</translation>
    </message>
    <message>
        <source>Filesystem checked: no problems left</source>
        <translation>Sistema de archivos comprobado: no quedan problemas</translation>
    </message>
    <message>
        <source>Filesystem check found problems it could not fix</source>
        <translation>La comprobación del sistema de archivos encontró problemas que no pudo corregir</translation>
    </message>
    <message>
        <source>Original Backup Kept</source>
        <translation>Se conserva la copia de seguridad del original</translation>
    </message>
    <message>
        <source>Recovery Could Not Finish</source>
        <translation>No se pudo completar la recuperación</translation>
    </message>
    <message>
        <source>Preferences Could Not Be Saved</source>
        <translation>No se pudieron guardar las preferencias</translation>
    </message>
    <message>
        <source>Saved Password Could Not Be Removed</source>
        <translation>No se pudo quitar la contraseña guardada</translation>
    </message>
    <message>
        <source>Login Mounts Need Attention</source>
        <translation>Los montajes al iniciar sesión requieren atención</translation>
    </message>
    <message>
        <source>Some Containers Need Attention</source>
        <translation>Algunos contenedores requieren atención</translation>
    </message>
    <message>
        <source>Could Not Prepare for Update</source>
        <translation>No se pudo preparar la actualización</translation>
    </message>
    <message>
        <source>Mount Service Could Not Restart</source>
        <translation>No se pudo reiniciar el servicio de montaje</translation>
    </message>
    <message>
        <source>Some containers are still mounted.</source>
        <translation>Algunos contenedores siguen montados.</translation>
    </message>
    <message>
        <source>Replacement recovery finished</source>
        <translation>Recuperación del reemplazo terminada</translation>
    </message>
    <message>
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck no pudo corregir todos los problemas. Copie sus archivos con un montaje de solo lectura y después cree un contenedor nuevo.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume. Write access is available again.</source>
        <translation>fsck no encontró problemas pendientes en este volumen. La escritura vuelve a estar disponible.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume.</source>
        <translation>fsck no encontró problemas pendientes en este volumen.</translation>
    </message>
    <message>
        <source>%1, fsck %2</source>
        <translation>%1, fsck %2</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Comprobar y reparar el sistema de archivos</translation>
    </message>
</context>
</TS>
