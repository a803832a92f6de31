<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="uk">
<context>
    <name>QObject</name>
    <message>
        <source>Tarnwick Could Not Be Opened</source>
        <translation>Не вдалося відкрити Tarnwick</translation>
    </message>
    <message>
        <source>The other Tarnwick instance is not responding. Try opening it again shortly.</source>
        <translation>Інший екземпляр Tarnwick не відповідає. Спробуйте відкрити його ще раз трохи згодом.</translation>
    </message>
    <message>
        <source>The window could not be created.</source>
        <translation>Не вдалося створити вікно.</translation>
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
    <message>
        <source>Inspecting</source>
        <translation>Перевірка відомостей</translation>
    </message>
    <message>
        <source>Checking Credentials</source>
        <translation>Перевірка облікових даних</translation>
    </message>
    <message>
        <source>Re-encoding</source>
        <translation>Перекодування</translation>
    </message>
    <message>
        <source>Exporting</source>
        <translation>Експорт</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Підготовка файлової системи</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Розблокування тому VeraCrypt</translation>
    </message>
    <message>
        <source>Mounting</source>
        <translation>Підключення</translation>
    </message>
    <message>
        <source>Unmounting</source>
        <translation>Відключення</translation>
    </message>
    <message>
        <source>Saving Preferences</source>
        <translation>Збереження параметрів</translation>
    </message>
    <message>
        <source>Recovering Replacement</source>
        <translation>Відновлення заміни</translation>
    </message>
    <message>
        <source>Checking Filesystem</source>
        <translation>Перевірка файлової системи</translation>
    </message>
    <message>
        <source>Verifying New Container</source>
        <translation>Перевірка нового контейнера</translation>
    </message>
    <message>
        <source>Finishing</source>
        <translation>Завершення</translation>
    </message>
    <message>
        <source>Reading Device</source>
        <translation>Читання пристрою</translation>
    </message>
    <message>
        <source>Copying VeraCrypt Volume</source>
        <translation>Копіювання тому VeraCrypt</translation>
    </message>
    <message>
        <source>Checking New Container</source>
        <translation>Перевірка нового контейнера</translation>
    </message>
    <message>
        <source>Initializing Encrypted Container</source>
        <translation>Ініціалізація зашифрованого контейнера</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Файл</translation>
    </message>
    <message>
        <source>New Container…</source>
        <translation>Новий контейнер…</translation>
    </message>
    <message>
        <source>Image Removable Device…</source>
        <translation>Створити образ знімного пристрою…</translation>
    </message>
    <message>
        <source>Import from VeraCrypt…</source>
        <translation>Імпортувати з VeraCrypt…</translation>
    </message>
    <message>
        <source>Open Containers…</source>
        <translation>Відкрити контейнери…</translation>
    </message>
    <message>
        <source>Open Containers</source>
        <translation>Відкрити контейнери</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx);;All files (*)</source>
        <translation>Контейнери ZCX (*.zcx);;Усі файли (*)</translation>
    </message>
    <message>
        <source>Settings…</source>
        <translation>Налаштування…</translation>
    </message>
    <message>
        <source>Important Information, Data Safety and Liability (English)</source>
        <translation>Важлива інформація, безпека даних і відповідальність (англійською)</translation>
    </message>
    <message>
        <source>Quit Tarnwick</source>
        <translation>Вийти з Tarnwick</translation>
    </message>
    <message>
        <source>&amp;Container</source>
        <translation>&amp;Контейнер</translation>
    </message>
    <message>
        <source>Mount…</source>
        <translation>Підключити…</translation>
    </message>
    <message>
        <source>Check Credentials…</source>
        <translation>Перевірити облікові дані…</translation>
    </message>
    <message>
        <source>Change Password…</source>
        <translation>Змінити пароль…</translation>
    </message>
    <message>
        <source>Convert Copy…</source>
        <translation>Перетворити в копію…</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path…</source>
        <translation>Перешифрувати за тим самим шляхом…</translation>
    </message>
    <message>
        <source>Export Decrypted Image…</source>
        <translation>Експортувати розшифрований образ…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem…</source>
        <translation>Перевірити й виправити файлову систему…</translation>
    </message>
    <message>
        <source>Unmount</source>
        <translation>Відключити</translation>
    </message>
    <message>
        <source>Recover Replacement</source>
        <translation>Відновити заміну</translation>
    </message>
    <message>
        <source>Show in File Manager</source>
        <translation>Показати у файловому менеджері</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Оновити</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Панель інструментів</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Відкрити</translation>
    </message>
    <message>
        <source>Operations</source>
        <translation>Операції</translation>
    </message>
    <message>
        <source>Inspector</source>
        <translation>Відомості</translation>
    </message>
    <message>
        <source>Search containers</source>
        <translation>Пошук контейнерів</translation>
    </message>
    <message>
        <source>Favorites</source>
        <translation>Обране</translation>
    </message>
    <message>
        <source>Needs Attention</source>
        <translation>Потребують уваги</translation>
    </message>
    <message>
        <source>Local by design</source>
        <translation>Локально за задумом</translation>
    </message>
    <message>
        <source>Your containers stay on your PC.</source>
        <translation>Ваші контейнери залишаються на вашому комп’ютері.</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Назва</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Розмір</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Стан</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Файлова система</translation>
    </message>
    <message>
        <source>Open in File Manager</source>
        <translation>Відкрити у файловому менеджері</translation>
    </message>
    <message>
        <source>Dismiss Write Error</source>
        <translation>Закрити помилку запису</translation>
    </message>
    <message>
        <source>Retry Cleanup</source>
        <translation>Повторити очищення</translation>
    </message>
    <message>
        <source>Remove Favorite</source>
        <translation>Прибрати з обраного</translation>
    </message>
    <message>
        <source>Add Favorite</source>
        <translation>Додати в обране</translation>
    </message>
    <message>
        <source>Remove from Library</source>
        <translation>Вилучити з бібліотеки</translation>
    </message>
    <message>
        <source>Your Containers</source>
        <translation>Ваші контейнери</translation>
    </message>
    <message>
        <source>Open a ZCX container to mount it and browse its files in the file manager.</source>
        <translation>Відкрийте контейнер ZCX, щоб підключити його й переглядати файли у файловому менеджері.</translation>
    </message>
    <message>
        <source>Recent Operations</source>
        <translation>Останні операції</translation>
    </message>
    <message>
        <source>This library needs a newer Tarnwick version.</source>
        <translation>Для цієї бібліотеки потрібна новіша версія Tarnwick.</translation>
    </message>
    <message>
        <source>The library file could not be read.</source>
        <translation>Не вдалося прочитати файл бібліотеки.</translation>
    </message>
    <message>
        <source>Library Could Not Be Opened</source>
        <translation>Не вдалося відкрити бібліотеку</translation>
    </message>
    <message>
        <source>Your library file has been left unchanged.</source>
        <translation>Файл вашої бібліотеки залишився без змін.</translation>
    </message>
    <message>
        <source>Library Could Not Be Saved</source>
        <translation>Не вдалося зберегти бібліотеку</translation>
    </message>
    <message>
        <source>Mounted read-write</source>
        <translation>Підключено для читання й запису</translation>
    </message>
    <message>
        <source>Mounted read-only</source>
        <translation>Підключено лише для читання</translation>
    </message>
    <message>
        <source>Recovery needed</source>
        <translation>Потрібне відновлення</translation>
    </message>
    <message>
        <source>Needs attention</source>
        <translation>Потребує уваги</translation>
    </message>
    <message>
        <source>Checked</source>
        <translation>Перевірено</translation>
    </message>
    <message>
        <source>Not checked</source>
        <translation>Не перевірено</translation>
    </message>
    <message>
        <source>Select a Container</source>
        <translation>Виберіть контейнер</translation>
    </message>
    <message>
        <source>Its details and available actions appear here.</source>
        <translation>Тут з’являться його відомості та доступні дії.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Скасування</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Скасувати</translation>
    </message>
    <message>
        <source>An unfinished write session was detected. Mount the container read-only to copy files, or use Check and Repair before writing to it.</source>
        <translation>Виявлено незавершений сеанс запису. Підключіть контейнер лише для читання, щоб скопіювати файли, або скористайтеся перевіркою й виправленням, перш ніж записувати в нього.</translation>
    </message>
    <message>
        <source>A recovery checkpoint is damaged. Create a verified encrypted copy before mounting. The original stays unchanged.</source>
        <translation>Контрольну точку відновлення пошкоджено. Перед підключенням створіть перевірену зашифровану копію. Оригінал залишиться без змін.</translation>
    </message>
    <message>
        <source>An unfinished conversion was detected. Keep the container and its recovery files together. Checking and export are blocked.</source>
        <translation>Виявлено незавершене перетворення. Тримайте контейнер і його файли відновлення разом. Перевірку й експорт заблоковано.</translation>
    </message>
    <message>
        <source>Container Details</source>
        <translation>Відомості про контейнер</translation>
    </message>
    <message>
        <source>Storage Used</source>
        <translation>Зайнято на диску</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Стиснення</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Швидке (LZ4)</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Вимкнено</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Алгоритм шифрування</translation>
    </message>
    <message>
        <source>Last Checked</source>
        <translation>Остання перевірка</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Параметри підключення</translation>
    </message>
    <message>
        <source>Location</source>
        <translation>Розташування</translation>
    </message>
    <message>
        <source>Locate…</source>
        <translation>Знайти…</translation>
    </message>
    <message>
        <source>Mounts open in the file manager. Closing Tarnwick keeps them mounted; use Unmount when finished.</source>
        <translation>Підключені контейнери відкриваються у файловому менеджері. Після закриття Tarnwick вони лишаються підключеними; коли закінчите, скористайтеся «Відключити».</translation>
    </message>
    <message>
        <source>Mount service unavailable</source>
        <translation>Служба підключення недоступна</translation>
    </message>
    <message>
        <source>Mount service update available</source>
        <translation>Доступне оновлення служби підключення</translation>
    </message>
    <message>
        <source>Mount Preview</source>
        <translation>Попередня версія підключення</translation>
    </message>
    <message>
        <source>Create Recovery Copy…</source>
        <translation>Створити копію для відновлення…</translation>
    </message>
    <message>
        <source>Show Tarnwick</source>
        <translation>Показати Tarnwick</translation>
    </message>
    <message>
        <source>%1 · %2</source>
        <translation>%1 · %2</translation>
    </message>
    <message>
        <source>Unmount All and Quit</source>
        <translation>Відключити все й вийти</translation>
    </message>
    <message>
        <source>Too Many Operations</source>
        <translation>Забагато операцій</translation>
    </message>
    <message>
        <source>Wait for an operation to finish, then try again.</source>
        <translation>Дочекайтеся завершення однієї з операцій і спробуйте ще раз.</translation>
    </message>
    <message>
        <source>Container Changed</source>
        <translation>Контейнер змінився</translation>
    </message>
    <message>
        <source>Select the container again before starting this operation.</source>
        <translation>Перш ніж почати цю операцію, виберіть контейнер ще раз.</translation>
    </message>
    <message>
        <source>An Operation Is Still Running</source>
        <translation>Операція ще триває</translation>
    </message>
    <message>
        <source>Wait for it to finish, or cancel the operation and quit.</source>
        <translation>Дочекайтеся її завершення або скасуйте операцію й вийдіть.</translation>
    </message>
    <message>
        <source>Wait for the completed copy to be saved before quitting.</source>
        <translation>Перед виходом дочекайтеся збереження готової копії.</translation>
    </message>
    <message>
        <source>Keep Running</source>
        <translation>Продовжити</translation>
    </message>
    <message>
        <source>Cancel and Quit</source>
        <translation>Скасувати й вийти</translation>
    </message>
    <message>
        <source>Wait and Quit</source>
        <translation>Дочекатися й вийти</translation>
    </message>
    <message>
        <source>The mount service is unavailable.</source>
        <translation>Служба підключення недоступна.</translation>
    </message>
    <message>
        <source>Credentials and structure checked</source>
        <translation>Облікові дані й структуру перевірено</translation>
    </message>
    <message>
        <source>Decrypted image saved</source>
        <translation>Розшифрований образ збережено</translation>
    </message>
    <message>
        <source>New password copy verified and saved. Original kept.</source>
        <translation>Копію з новим паролем перевірено й збережено. Оригінал збережено.</translation>
    </message>
    <message>
        <source>Replacement verified. Original backup kept.</source>
        <translation>Заміну перевірено. Резервну копію оригіналу збережено.</translation>
    </message>
    <message>
        <source>Operation cancelled. Original kept. If a new file exists, verify it before using it.</source>
        <translation>Операцію скасовано. Оригінал збережено. Якщо новий файл існує, перевірте його перед використанням.</translation>
    </message>
    <message>
        <source>Operation cancelled</source>
        <translation>Операцію скасовано</translation>
    </message>
    <message>
        <source>Original kept. If a new file exists, verify it before using it. Restart from the original after an interruption; do not rename or use a .partial file.</source>
        <translation>Оригінал збережено. Якщо новий файл існує, перевірте його перед використанням. Після переривання починайте знову з оригіналу; не перейменовуйте й не використовуйте файл .partial.</translation>
    </message>
    <message>
        <source>Operation Could Not Finish</source>
        <translation>Не вдалося завершити операцію</translation>
    </message>
    <message>
        <source>VeraCrypt volume imported and verified. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Том VeraCrypt імпортовано й перевірено. Зберігайте файл VeraCrypt, доки не перевірите свої файли.</translation>
    </message>
    <message>
        <source>Container created and verified.</source>
        <translation>Контейнер створено й перевірено.</translation>
    </message>
    <message>
        <source>Check the New Container</source>
        <translation>Перевірте новий контейнер</translation>
    </message>
    <message>
        <source>Interrupted Imports Need Attention</source>
        <translation>Перервані імпорти потребують уваги</translation>
    </message>
    <message>
        <source>Some records of interrupted imports were kept because the files they name failed a safety check. Review %1 before you delete anything there.</source>
        <translation>Деякі записи перерваних імпортів збережено, бо файли, які вони називають, не пройшли перевірку безпеки. Перегляньте %1, перш ніж щось там видаляти.</translation>
    </message>
    <message>
        <source>Import cancelled. The VeraCrypt file was not changed and no container was saved.</source>
        <translation>Імпорт скасовано. Файл VeraCrypt не змінено, контейнер не збережено.</translation>
    </message>
    <message>
        <source>Container creation cancelled. No existing file was replaced.</source>
        <translation>Створення контейнера скасовано. Жоден наявний файл не замінено.</translation>
    </message>
    <message>
        <source>Import Could Not Finish</source>
        <translation>Не вдалося завершити імпорт</translation>
    </message>
    <message>
        <source>Creation Could Not Finish</source>
        <translation>Не вдалося завершити створення</translation>
    </message>
    <message>
        <source>Unmounted</source>
        <translation>Відключено</translation>
    </message>
    <message>
        <source>Check and Repair Could Not Finish</source>
        <translation>Не вдалося завершити перевірку й виправлення</translation>
    </message>
    <message>
        <source>Filesystem checked: no problems left</source>
        <translation>Файлову систему перевірено: проблем не залишилося</translation>
    </message>
    <message>
        <source>Filesystem check found problems it could not fix</source>
        <translation>Перевірка файлової системи знайшла проблеми, які не вдалося виправити</translation>
    </message>
    <message>
        <source>Original Backup Kept</source>
        <translation>Резервну копію оригіналу збережено</translation>
    </message>
    <message>
        <source>Recovery Could Not Finish</source>
        <translation>Не вдалося завершити відновлення</translation>
    </message>
    <message>
        <source>Preferences Could Not Be Saved</source>
        <translation>Не вдалося зберегти параметри</translation>
    </message>
    <message>
        <source>Saved Password Could Not Be Removed</source>
        <translation>Не вдалося вилучити збережений пароль</translation>
    </message>
    <message>
        <source>Login Mounts Need Attention</source>
        <translation>Підключення під час входу потребують уваги</translation>
    </message>
    <message>
        <source>Some Containers Need Attention</source>
        <translation>Деякі контейнери потребують уваги</translation>
    </message>
    <message>
        <source>Could Not Prepare for Update</source>
        <translation>Не вдалося підготуватися до оновлення</translation>
    </message>
    <message>
        <source>Mount Service Could Not Restart</source>
        <translation>Не вдалося перезапустити службу підключення</translation>
    </message>
    <message>
        <source>Some containers are still mounted.</source>
        <translation>Деякі контейнери досі підключено.</translation>
    </message>
    <message>
        <source>Replacement recovery finished</source>
        <translation>Відновлення заміни завершено</translation>
    </message>
    <message>
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck не зміг виправити всі проблеми. Скопіюйте свої файли, підключивши контейнер лише для читання, а потім створіть новий контейнер.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume. Write access is available again.</source>
        <translation>fsck не знайшов на цьому томі жодних проблем. Запис знову доступний.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume.</source>
        <translation>fsck не знайшов на цьому томі жодних проблем.</translation>
    </message>
    <message>
        <source>%1, fsck %2</source>
        <translation>%1, fsck %2</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Перевірка й виправлення файлової системи</translation>
    </message>
</context>
</TS>
