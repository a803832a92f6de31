<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>QObject</name>
    <message>
        <source>Tarnwick Could Not Be Opened</source>
        <translation>Не удалось открыть Tarnwick</translation>
    </message>
    <message>
        <source>The other Tarnwick instance is not responding. Try opening it again shortly.</source>
        <translation>Другой экземпляр Tarnwick не отвечает. Попробуйте открыть его ещё раз чуть позже.</translation>
    </message>
    <message>
        <source>The window could not be created.</source>
        <translation>Не удалось создать окно.</translation>
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
    <message>
        <source>Inspecting</source>
        <translation>Проверка сведений</translation>
    </message>
    <message>
        <source>Checking Credentials</source>
        <translation>Проверка учётных данных</translation>
    </message>
    <message>
        <source>Re-encoding</source>
        <translation>Перекодирование</translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Экспорт</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Подготовка файловой системы</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Разблокировка тома VeraCrypt</translation>
    </message>
    <message>
        <source>Mounting</source>
        <translation>Подключение</translation>
    </message>
    <message>
        <source>Unmounting</source>
        <translation>Отключение</translation>
    </message>
    <message>
        <source>Saving Preferences</source>
        <translation>Сохранение параметров</translation>
    </message>
    <message>
        <source>Recovering Replacement</source>
        <translation>Восстановление замены</translation>
    </message>
    <message>
        <source>Checking Filesystem</source>
        <translation>Проверка файловой системы</translation>
    </message>
    <message>
        <source>Verifying New Container</source>
        <translation>Проверка нового контейнера</translation>
    </message>
    <message>
        <source>Finishing</source>
        <translation>Завершение</translation>
    </message>
    <message>
        <source>Reading Device</source>
        <translation>Чтение устройства</translation>
    </message>
    <message>
        <source>Copying VeraCrypt Volume</source>
        <translation>Копирование тома VeraCrypt</translation>
    </message>
    <message>
        <source>Checking New Container</source>
        <translation>Проверка нового контейнера</translation>
    </message>
    <message>
        <source>Initializing Encrypted Container</source>
        <translation>Инициализация зашифрованного контейнера</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Файл</translation>
    </message>
    <message>
        <source>New Container…</source>
        <translation>Новый контейнер…</translation>
    </message>
    <message>
        <source>Image Removable Device…</source>
        <translation>Создать образ съёмного устройства…</translation>
    </message>
    <message>
        <source>Import from VeraCrypt…</source>
        <translation>Импортировать из VeraCrypt…</translation>
    </message>
    <message>
        <source>Open Containers…</source>
        <translation>Открыть контейнеры…</translation>
    </message>
    <message>
        <source>Open Containers</source>
        <translation>Открыть контейнеры</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx);;All files (*)</source>
        <translation>Контейнеры ZCX (*.zcx);;Все файлы (*)</translation>
    </message>
    <message>
        <source>Settings…</source>
        <translation>Настройки…</translation>
    </message>
    <message>
        <source>Important Information, Data Safety and Liability (English)</source>
        <translation>Важная информация, безопасность данных и ответственность (на английском)</translation>
    </message>
    <message>
        <source>Quit Tarnwick</source>
        <translation>Выйти из Tarnwick</translation>
    </message>
    <message>
        <source>&amp;Container</source>
        <translation>&amp;Контейнер</translation>
    </message>
    <message>
        <source>Mount…</source>
        <translation>Подключить…</translation>
    </message>
    <message>
        <source>Check Credentials…</source>
        <translation>Проверить учётные данные…</translation>
    </message>
    <message>
        <source>Change Password…</source>
        <translation>Изменить пароль…</translation>
    </message>
    <message>
        <source>Convert Copy…</source>
        <translation>Преобразовать в копию…</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path…</source>
        <translation>Перешифровать по тому же пути…</translation>
    </message>
    <message>
        <source>Export Decrypted Image…</source>
        <translation>Экспортировать расшифрованный образ…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem…</source>
        <translation>Проверить и исправить файловую систему…</translation>
    </message>
    <message>
        <source>Unmount</source>
        <translation>Отключить</translation>
    </message>
    <message>
        <source>Recover Replacement</source>
        <translation>Восстановить замену</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Показать в файловом менеджере</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Обновить</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Панель инструментов</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Открыть</translation>
    </message>
    <message>
        <source>Operations</source>
        <translation>Операции</translation>
    </message>
    <message>
        <source>Inspector</source>
        <translation>Сведения</translation>
    </message>
    <message>
        <source>Search containers</source>
        <translation>Поиск контейнеров</translation>
    </message>
    <message>
        <source>Favorites</source>
        <translation>Избранное</translation>
    </message>
    <message>
        <source>Needs Attention</source>
        <translation>Требуют внимания</translation>
    </message>
    <message>
        <source>Local by design</source>
        <translation>Локально по замыслу</translation>
    </message>
    <message>
        <source>Your containers stay on your PC.</source>
        <translation>Ваши контейнеры остаются на вашем компьютере.</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Имя</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Размер</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Состояние</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Файловая система</translation>
    </message>
    <message>
        <source>Open in File Manager</source>
        <translation>Открыть в файловом менеджере</translation>
    </message>
    <message>
        <source>Dismiss Write Error</source>
        <translation>Закрыть ошибку записи</translation>
    </message>
    <message>
        <source>Retry Cleanup</source>
        <translation>Повторить очистку</translation>
    </message>
    <message>
        <source>Remove Favorite</source>
        <translation>Убрать из избранного</translation>
    </message>
    <message>
        <source>Add Favorite</source>
        <translation>Добавить в избранное</translation>
    </message>
    <message>
        <source>Remove from Library</source>
        <translation>Удалить из библиотеки</translation>
    </message>
    <message>
        <source>Your Containers</source>
        <translation>Ваши контейнеры</translation>
    </message>
    <message>
        <source>Open a ZCX container to mount it and browse its files in the file manager.</source>
        <translation>Откройте контейнер ZCX, чтобы подключить его и просматривать файлы в файловом менеджере.</translation>
    </message>
    <message>
        <source>Recent Operations</source>
        <translation>Последние операции</translation>
    </message>
    <message>
        <source>This library needs a newer Tarnwick version.</source>
        <translation>Для этой библиотеки нужна более новая версия Tarnwick.</translation>
    </message>
    <message>
        <source>The library file could not be read.</source>
        <translation>Не удалось прочитать файл библиотеки.</translation>
    </message>
    <message>
        <source>Library Could Not Be Opened</source>
        <translation>Не удалось открыть библиотеку</translation>
    </message>
    <message>
        <source>Your library file has been left unchanged.</source>
        <translation>Файл вашей библиотеки оставлен без изменений.</translation>
    </message>
    <message>
        <source>Library Could Not Be Saved</source>
        <translation>Не удалось сохранить библиотеку</translation>
    </message>
    <message>
        <source>Mounted read-write</source>
        <translation>Подключено для чтения и записи</translation>
    </message>
    <message>
        <source>Mounted read-only</source>
        <translation>Подключено только для чтения</translation>
    </message>
    <message>
        <source>Recovery needed</source>
        <translation>Требуется восстановление</translation>
    </message>
    <message>
        <source>Needs attention</source>
        <translation>Требует внимания</translation>
    </message>
    <message>
        <source>Checked</source>
        <translation>Проверено</translation>
    </message>
    <message>
        <source>Not checked</source>
        <translation>Не проверено</translation>
    </message>
    <message>
        <source>Select a Container</source>
        <translation>Выберите контейнер</translation>
    </message>
    <message>
        <source>Its details and available actions appear here.</source>
        <translation>Здесь появятся его сведения и доступные действия.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отменить</translation>
    </message>
    <message>
        <source>An unfinished write session was detected. Mount the container read-only to copy files, or use Check and Repair before writing to it.</source>
        <translation>Обнаружен незавершённый сеанс записи. Подключите контейнер только для чтения, чтобы скопировать файлы, или воспользуйтесь проверкой и исправлением, прежде чем записывать в него.</translation>
    </message>
    <message>
        <source>A recovery checkpoint is damaged. Create a verified encrypted copy before mounting. The original stays unchanged.</source>
        <translation>Контрольная точка восстановления повреждена. Перед подключением создайте проверенную зашифрованную копию. Оригинал останется без изменений.</translation>
    </message>
    <message>
        <source>An unfinished conversion was detected. Keep the container and its recovery files together. Checking and export are blocked.</source>
        <translation>Обнаружено незавершённое преобразование. Держите контейнер и его файлы восстановления вместе. Проверка и экспорт заблокированы.</translation>
    </message>
    <message>
        <source>Container Details</source>
        <translation>Сведения о контейнере</translation>
    </message>
    <message>
        <source>Storage Used</source>
        <translation>Занято на диске</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Сжатие</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Быстрое (LZ4)</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Выключено</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Алгоритм шифрования</translation>
    </message>
    <message>
        <source>Last Checked</source>
        <translation>Последняя проверка</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Параметры подключения</translation>
    </message>
    <message>
        <source>Location</source>
        <translation>Расположение</translation>
    </message>
    <message>
        <source>Locate…</source>
        <translation>Найти…</translation>
    </message>
    <message>
        <source>Mounts open in the file manager. Closing Tarnwick keeps them mounted; use Unmount when finished.</source>
        <translation>Подключённые контейнеры открываются в файловом менеджере. После закрытия Tarnwick они остаются подключёнными; когда закончите, используйте «Отключить».</translation>
    </message>
    <message>
        <source>Mount service unavailable</source>
        <translation>Служба подключения недоступна</translation>
    </message>
    <message>
        <source>Mount service update available</source>
        <translation>Доступно обновление службы подключения</translation>
    </message>
    <message>
        <source>Mount Preview</source>
        <translation>Предварительная версия подключения</translation>
    </message>
    <message>
        <source>Create Recovery Copy…</source>
        <translation>Создать копию для восстановления…</translation>
    </message>
    <message>
        <source>Show Tarnwick</source>
        <translation>Показать Tarnwick</translation>
    </message>
    <message>
        <source>%1 · %2</source>
        <translation>%1 · %2</translation>
    </message>
    <message>
        <source>Unmount All and Quit</source>
        <translation>Отключить всё и выйти</translation>
    </message>
    <message>
        <source>Too Many Operations</source>
        <translation>Слишком много операций</translation>
    </message>
    <message>
        <source>Wait for an operation to finish, then try again.</source>
        <translation>Дождитесь завершения одной из операций и попробуйте ещё раз.</translation>
    </message>
    <message>
        <source>Container Changed</source>
        <translation>Контейнер изменился</translation>
    </message>
    <message>
        <source>Select the container again before starting this operation.</source>
        <translation>Прежде чем начать эту операцию, выберите контейнер ещё раз.</translation>
    </message>
    <message>
        <source>An Operation Is Still Running</source>
        <translation>Операция ещё выполняется</translation>
    </message>
    <message>
        <source>Wait for it to finish, or cancel the operation and quit.</source>
        <translation>Дождитесь её завершения или отмените операцию и выйдите.</translation>
    </message>
    <message>
        <source>Wait for the completed copy to be saved before quitting.</source>
        <translation>Перед выходом дождитесь сохранения готовой копии.</translation>
    </message>
    <message>
        <source>Keep Running</source>
        <translation>Продолжить</translation>
    </message>
    <message>
        <source>Cancel and Quit</source>
        <translation>Отменить и выйти</translation>
    </message>
    <message>
        <source>Wait and Quit</source>
        <translation>Дождаться и выйти</translation>
    </message>
    <message>
        <source>The mount service is unavailable.</source>
        <translation>Служба подключения недоступна.</translation>
    </message>
    <message>
        <source>Credentials and structure checked</source>
        <translation>Учётные данные и структура проверены</translation>
    </message>
    <message>
        <source>Decrypted image saved</source>
        <translation>Расшифрованный образ сохранён</translation>
    </message>
    <message>
        <source>New password copy verified and saved. Original kept.</source>
        <translation>Копия с новым паролем проверена и сохранена. Оригинал сохранён.</translation>
    </message>
    <message>
        <source>Replacement verified. Original backup kept.</source>
        <translation>Замена проверена. Резервная копия оригинала сохранена.</translation>
    </message>
    <message>
        <source>Operation cancelled. Original kept. If a new file exists, verify it before using it.</source>
        <translation>Операция отменена. Оригинал сохранён. Если новый файл существует, проверьте его перед использованием.</translation>
    </message>
    <message>
        <source>Operation cancelled</source>
        <translation>Операция отменена</translation>
    </message>
    <message>
        <source>Original kept. If a new file exists, verify it before using it. Restart from the original after an interruption; do not rename or use a .partial file.</source>
        <translation>Оригинал сохранён. Если новый файл существует, проверьте его перед использованием. После прерывания начинайте заново с оригинала; не переименовывайте и не используйте файл .partial.</translation>
    </message>
    <message>
        <source>Operation Could Not Finish</source>
        <translation>Не удалось завершить операцию</translation>
    </message>
    <message>
        <source>VeraCrypt volume imported and verified. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Том VeraCrypt импортирован и проверен. Храните файл VeraCrypt, пока не проверите свои файлы.</translation>
    </message>
    <message>
        <source>Container created and verified.</source>
        <translation>Контейнер создан и проверен.</translation>
    </message>
    <message>
        <source>Check the New Container</source>
        <translation>Проверьте новый контейнер</translation>
    </message>
    <message>
        <source>Interrupted Imports Need Attention</source>
        <translation>Прерванные импорты требуют внимания</translation>
    </message>
    <message>
        <source>Some records of interrupted imports were kept because the files they name failed a safety check. Review %1 before you delete anything there.</source>
        <translation>Некоторые записи прерванных импортов сохранены, потому что указанные в них файлы не прошли проверку безопасности. Просмотрите %1, прежде чем что-либо там удалять.</translation>
    </message>
    <message>
        <source>Import cancelled. The VeraCrypt file was not changed and no container was saved.</source>
        <translation>Импорт отменён. Файл VeraCrypt не изменён, контейнер не сохранён.</translation>
    </message>
    <message>
        <source>Container creation cancelled. No existing file was replaced.</source>
        <translation>Создание контейнера отменено. Ни один существующий файл не заменён.</translation>
    </message>
    <message>
        <source>Import Could Not Finish</source>
        <translation>Не удалось завершить импорт</translation>
    </message>
    <message>
        <source>Creation Could Not Finish</source>
        <translation>Не удалось завершить создание</translation>
    </message>
    <message>
        <source>Unmounted</source>
        <translation>Отключено</translation>
    </message>
    <message>
        <source>Check and Repair Could Not Finish</source>
        <translation>Не удалось завершить проверку и исправление</translation>
    </message>
    <message>
        <source>Filesystem checked: no problems left</source>
        <translation>Файловая система проверена: проблем не осталось</translation>
    </message>
    <message>
        <source>Filesystem check found problems it could not fix</source>
        <translation>Проверка файловой системы нашла проблемы, которые не удалось исправить</translation>
    </message>
    <message>
        <source>Original Backup Kept</source>
        <translation>Резервная копия оригинала сохранена</translation>
    </message>
    <message>
        <source>Recovery Could Not Finish</source>
        <translation>Не удалось завершить восстановление</translation>
    </message>
    <message>
        <source>Preferences Could Not Be Saved</source>
        <translation>Не удалось сохранить параметры</translation>
    </message>
    <message>
        <source>Saved Password Could Not Be Removed</source>
        <translation>Не удалось удалить сохранённый пароль</translation>
    </message>
    <message>
        <source>Login Mounts Need Attention</source>
        <translation>Подключения при входе требуют внимания</translation>
    </message>
    <message>
        <source>Some Containers Need Attention</source>
        <translation>Некоторые контейнеры требуют внимания</translation>
    </message>
    <message>
        <source>Could Not Prepare for Update</source>
        <translation>Не удалось подготовиться к обновлению</translation>
    </message>
    <message>
        <source>Mount Service Could Not Restart</source>
        <translation>Не удалось перезапустить службу подключения</translation>
    </message>
    <message>
        <source>Some containers are still mounted.</source>
        <translation>Некоторые контейнеры всё ещё подключены.</translation>
    </message>
    <message>
        <source>Replacement recovery finished</source>
        <translation>Восстановление замены завершено</translation>
    </message>
    <message>
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck не смог исправить все проблемы. Скопируйте свои файлы, подключив контейнер только для чтения, а затем создайте новый контейнер.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume. Write access is available again.</source>
        <translation>fsck не нашёл на этом томе оставшихся проблем. Запись снова доступна.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume.</source>
        <translation>fsck не нашёл на этом томе оставшихся проблем.</translation>
    </message>
    <message>
        <source>%1, fsck %2</source>
        <translation>%1, fsck %2</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Проверка и исправление файловой системы</translation>
    </message>
</context>
</TS>
