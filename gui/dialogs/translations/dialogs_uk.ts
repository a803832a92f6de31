<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="uk">
<context>
    <name>Dialogs</name>
    <message>
        <source>Tarnwick Pro</source>
        <translation type="vanished">Tarnwick Pro</translation>
    </message>
    <message>
        <source>Not available yet.</source>
        <translation type="vanished">Поки що недоступно.</translation>
    </message>
</context>
<context>
    <name>tw::Dialogs</name>
    <message>
        <source>Use up to 32 characters, without \ / : * ? &quot; &lt; &gt; | or surrounding spaces.</source>
        <translation>Використовуйте до 32 символів, без \ / : * ? &quot; &lt; &gt; | і без пробілів на початку чи в кінці.</translation>
    </message>
    <message>
        <source>Use 1 to 11 uppercase letters, digits, spaces, or underscores. This is the name shown in the file manager.</source>
        <translation>Використовуйте від 1 до 11 великих латинських літер, цифр, пробілів або підкреслень. Цю назву показує файловий менеджер.</translation>
    </message>
    <message>
        <source>Passwords use exact UTF-8 bytes. Spaces are kept; passwords are never shortened or normalized.</source>
        <translation>Паролі зберігаються як точні байти UTF-8. Пробіли зберігаються; паролі ніколи не скорочуються й не нормалізуються.</translation>
    </message>
    <message>
        <source>New Container</source>
        <translation>Новий контейнер</translation>
    </message>
    <message>
        <source>Image Removable Device</source>
        <translation>Створити образ знімного пристрою</translation>
    </message>
    <message>
        <source>Size (MiB)</source>
        <translation>Розмір (МіБ)</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Файлова система</translation>
    </message>
    <message>
        <source>Creation needs temporary space for the filesystem image and the new container. Compressed size depends on the data.</source>
        <translation>Для створення потрібне тимчасове місце для образу файлової системи та нового контейнера. Стиснутий розмір залежить від даних.</translation>
    </message>
    <message>
        <source>Volume Name</source>
        <translation>Назва тому</translation>
    </message>
    <message>
        <source>The selected device will be unmounted and read without writing to it. The encrypted image preserves its partitions and filesystem.</source>
        <translation>Вибраний пристрій буде відмонтовано й прочитано без запису на нього. Зашифрований образ зберігає його розділи та файлову систему.</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Алгоритм шифрування</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Стиснення</translation>
    </message>
    <message>
        <source>Custom System Key</source>
        <translation>Власний системний ключ</translation>
    </message>
    <message>
        <source>Optional: 14 hexadecimal digits. Leave empty for this app’s default key.</source>
        <translation>Необов’язково: 14 шістнадцяткових цифр. Залиште порожнім, щоб використати типовий ключ програми.</translation>
    </message>
    <message>
        <source>The entire container is initialized and verified before it is saved. Existing files are never replaced.</source>
        <translation>Увесь контейнер ініціалізується й перевіряється перед збереженням. Наявні файли ніколи не замінюються.</translation>
    </message>
    <message>
        <source>Mounts default to read-only. Experimental write access for NTFS, exFAT, and FAT32 is available in Mount Preferences.</source>
        <translation>За замовчуванням монтування лише для читання. Експериментальний запис для NTFS, exFAT і FAT32 доступний у параметрах монтування.</translation>
    </message>
    <message>
        <source>Import from VeraCrypt</source>
        <translation>Імпорт із VeraCrypt</translation>
    </message>
    <message>
        <source>Select the original VeraCrypt file. The volume can stay mounted read-only. Use a new password for the Tarnwick copy.</source>
        <translation>Виберіть оригінальний файл VeraCrypt. Том може залишатися змонтованим лише для читання. Використайте для копії Tarnwick новий пароль.</translation>
    </message>
    <message>
        <source>VeraCrypt Password</source>
        <translation>Пароль VeraCrypt</translation>
    </message>
    <message>
        <source>This version imports standard VeraCrypt files that use AES, SHA-512 and the default PIM on a local ext4, XFS or Btrfs disk.</source>
        <translation>Ця версія імпортує стандартні файли VeraCrypt з AES, SHA-512 і типовим PIM на локальному диску ext4, XFS або Btrfs.</translation>
    </message>
    <message>
        <source>Tarnwick copies every sector into a new AES container and checks it before saving it. The copy includes free space, which can hold deleted files. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Tarnwick копіює кожен сектор у новий контейнер AES і перевіряє його перед збереженням. Копія містить і вільне місце, де можуть бути видалені файли. Зберігайте файл VeraCrypt, доки не перевірите свої файли.</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Розблокування тому VeraCrypt</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Підготовка файлової системи</translation>
    </message>
    <message>
        <source>Cancellation waits for Linux to finish preparing the empty filesystem. No existing file will be replaced.</source>
        <translation>Скасування чекає, доки Linux завершить підготовку порожньої файлової системи. Жоден наявний файл не буде замінено.</translation>
    </message>
    <message>
        <source>Cancellation stops the image copy. The source device is never written.</source>
        <translation>Скасування зупиняє копіювання образу. На вихідний пристрій ніколи нічого не записується.</translation>
    </message>
    <message>
        <source>Cancel removes the unfinished copy. The VeraCrypt file is never changed.</source>
        <translation>Скасування видаляє незавершену копію. Файл VeraCrypt ніколи не змінюється.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Скасування</translation>
    </message>
    <message>
        <source>Cancelling Creation</source>
        <translation>Скасування створення</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>Імпортувати</translation>
    </message>
    <message>
        <source>Create Container</source>
        <translation>Створити контейнер</translation>
    </message>
    <message>
        <source>Image Device</source>
        <translation>Створити образ пристрою</translation>
    </message>
    <message>
        <source>%1.zcx</source>
        <translation>%1.zcx</translation>
    </message>
    <message>
        <source>Untitled</source>
        <translation>Без назви</translation>
    </message>
    <message>
        <source>Choose a new file in a private local folder. Existing files will never be replaced.</source>
        <translation>Виберіть новий файл у приватній локальній теці. Наявні файли ніколи не будуть замінені.</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx)</source>
        <translation>Контейнери ZCX (*.zcx)</translation>
    </message>
    <message>
        <source>Choose a removable device to capture into a new encrypted container. Its volumes will be unmounted; the device is read-only during capture.</source>
        <translation>Виберіть знімний пристрій, образ якого буде записано в новий зашифрований контейнер. Його томи буде відмонтовано; під час зчитування пристрій доступний лише для читання.</translation>
    </message>
    <message>
        <source>Source Device</source>
        <translation>Вихідний пристрій</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Оновити</translation>
    </message>
    <message>
        <source>No eligible removable devices found.</source>
        <translation>Придатних знімних пристроїв не знайдено.</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Продовжити</translation>
    </message>
    <message>
        <source>Choose VeraCrypt File</source>
        <translation>Виберіть файл VeraCrypt</translation>
    </message>
    <message>
        <source>VeraCrypt volumes (*.hc)</source>
        <translation>Томи VeraCrypt (*.hc)</translation>
    </message>
    <message>
        <source>Choose a new file in a private folder on a local ext4, XFS or Btrfs disk. Tarnwick leaves the VeraCrypt file intact.</source>
        <translation>Виберіть новий файл у приватній теці на локальному диску ext4, XFS або Btrfs. Tarnwick не змінює файл VeraCrypt.</translation>
    </message>
    <message>
        <source>AES with 256-bit keys in XTS mode for disk encryption.</source>
        <translation>AES з 256-бітними ключами в режимі XTS для шифрування дисків.</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the XChaCha20 security notice in Important Information and Licenses.</source>
        <translation>Рекомендовано AES-256-XTS. Прочитайте примітку щодо безпеки XChaCha20 у розділі «Важлива інформація та ліцензії».</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the SSE1 security notice in Important Information and Licenses.</source>
        <translation>Рекомендовано AES-256-XTS. Прочитайте примітку щодо безпеки SSE1 у розділі «Важлива інформація та ліцензії».</translation>
    </message>
    <message>
        <source>XOR provides obfuscation only. It does not protect confidential data. AES-256-XTS is recommended.</source>
        <translation>XOR лише маскує дані. Він не захищає конфіденційні дані. Рекомендовано AES-256-XTS.</translation>
    </message>
    <message>
        <source>Keep Current Setting</source>
        <translation>Залишити поточне налаштування</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Вимкнено</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Швидке (LZ4)</translation>
    </message>
    <message>
        <source>Fast compression can save disk space. Storage grows as you add data; keep free space on the disk containing this file.</source>
        <translation>Швидке стиснення може заощадити місце на диску. Обсяг зростає, коли ви додаєте дані; залишайте вільне місце на диску з цим файлом.</translation>
    </message>
    <message>
        <source>The destination already exists. Choose a new filename.</source>
        <translation>Місце призначення вже існує. Виберіть нову назву файлу.</translation>
    </message>
    <message>
        <source>Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.</source>
        <translation>Використовуйте пароль не довший за 4096 байтів UTF-8 і системний ключ із 14 шістнадцяткових цифр.</translation>
    </message>
    <message>
        <source>Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.</source>
        <translation>Виберіть FAT32, exFAT або NTFS, додатний цілий розмір у МіБ і допустиму назву тому.</translation>
    </message>
    <message>
        <source>Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size in that range or another filesystem.</source>
        <translation>Linux форматує FAT32 від 64 МіБ до 2 ТіБ. Виберіть розмір у цих межах або іншу файлову систему.</translation>
    </message>
    <message>
        <source>The requested size exceeds the file size supported by the destination filesystem or Linux.</source>
        <translation>Запитаний розмір перевищує розмір файлу, який підтримує файлова система призначення або Linux.</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Параметри монтування</translation>
    </message>
    <message>
        <source>Mount label</source>
        <translation>Мітка монтування</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Зберегти</translation>
    </message>
    <message>
        <source>Leave blank to use the container filename. Duplicate names get a number. Changes apply on the next mount.</source>
        <translation>Залиште порожнім, щоб використати назву файлу контейнера. Однакові назви отримують номер. Зміни діють з наступного монтування.</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Current mount name</source>
        <translation>Поточна назва монтування</translation>
    </message>
    <message>
        <source>Mount read-only</source>
        <translation>Монтувати лише для читання</translation>
    </message>
    <message>
        <source>Experimental writes use the Linux NTFS, exFAT, and FAT drivers. Check credentials to detect support. Changes apply on the next mount.</source>
        <translation>Експериментальний запис використовує драйвери NTFS, exFAT і FAT у Linux. Перевірте облікові дані, щоб виявити підтримку. Зміни діють з наступного монтування.</translation>
    </message>
    <message>
        <source>Unmount after inactivity</source>
        <translation>Відмонтувати після бездіяльності</translation>
    </message>
    <message numerus="yes">
        <source>%n minutes</source>
        <translation>
            <numerusform>%n хвилина</numerusform>
            <numerusform>%n хвилини</numerusform>
            <numerusform>%n хвилин</numerusform>
        </translation>
    </message>
    <message>
        <source>Custom…</source>
        <translation>Власне значення…</translation>
    </message>
    <message>
        <source>Minutes</source>
        <translation>Хвилини</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Застосувати</translation>
    </message>
    <message>
        <source>Counts time without disk activity observed by the worker, including sleep. Background activity resets the timer; cached reads may not. Busy volumes stay mounted.</source>
        <translation>Враховується час без дискової активності, яку бачить робочий процес, зокрема сон. Фонова активність скидає таймер; читання з кешу може не скидати. Зайняті томи залишаються змонтованими.</translation>
    </message>
    <message>
        <source>Mount after sign-in</source>
        <translation>Монтувати після входу</translation>
    </message>
    <message>
        <source>Enable Launch at Login in Settings, then mount once with Remember in the keyring selected. Missing credentials leave the container locked.</source>
        <translation>Увімкніть «Запуск під час входу» в налаштуваннях, потім один раз змонтуйте з вибраним параметром «Запам’ятати у сховищі ключів». Без облікових даних контейнер залишиться заблокованим.</translation>
    </message>
    <message>
        <source>Forget Saved Password</source>
        <translation>Забути збережений пароль</translation>
    </message>
    <message>
        <source>Enable Experimental Writes?</source>
        <translation>Увімкнути експериментальний запис?</translation>
    </message>
    <message>
        <source>Normal writes and injected errors have been tested. Crash recovery is not qualified: a crash can damage the filesystem. Keep a separate backup. Login mounts stay read-only.</source>
        <translation>Звичайний запис і штучні помилки перевірено. Відновлення після збою не кваліфіковано: збій може пошкодити файлову систему. Тримайте окрему резервну копію. Монтування під час входу залишаються лише для читання.</translation>
    </message>
    <message>
        <source>Enter 1 to 525600 minutes.</source>
        <translation>Введіть від 1 до 525600 хвилин.</translation>
    </message>
    <message>
        <source>Mount Container</source>
        <translation>Змонтувати контейнер</translation>
    </message>
    <message>
        <source>Mount</source>
        <translation>Змонтувати</translation>
    </message>
    <message>
        <source>Check Credentials</source>
        <translation>Перевірити облікові дані</translation>
    </message>
    <message>
        <source>Check</source>
        <translation>Перевірити</translation>
    </message>
    <message>
        <source>Export Decrypted Image</source>
        <translation>Експортувати розшифрований образ</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Експортувати</translation>
    </message>
    <message>
        <source>Change Password</source>
        <translation>Змінити пароль</translation>
    </message>
    <message>
        <source>Create New Password Copy</source>
        <translation>Створити копію з новим паролем</translation>
    </message>
    <message>
        <source>Convert Copy</source>
        <translation>Перетворити копію</translation>
    </message>
    <message>
        <source>Create Encrypted Copy</source>
        <translation>Створити зашифровану копію</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path</source>
        <translation>Перешифрувати за тим самим шляхом</translation>
    </message>
    <message>
        <source>Replace and Keep Backup</source>
        <translation>Замінити й зберегти резервну копію</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Перевірити й відновити файлову систему</translation>
    </message>
    <message>
        <source>Check and Repair</source>
        <translation>Перевірити й відновити</translation>
    </message>
    <message>
        <source>Current Password</source>
        <translation>Поточний пароль</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Пароль</translation>
    </message>
    <message>
        <source>Leave empty for an unencrypted image.</source>
        <translation>Залиште порожнім для незашифрованого образу.</translation>
    </message>
    <message>
        <source>Remember in the keyring on this PC</source>
        <translation>Запам’ятати у сховищі ключів на цьому комп’ютері</translation>
    </message>
    <message>
        <source>Required for mounting after sign-in. Saved only after a successful mount.</source>
        <translation>Потрібно для монтування після входу. Зберігається лише після успішного монтування.</translation>
    </message>
    <message>
        <source>Applies to this mount only. Saved preferences stay unchanged.</source>
        <translation>Діє лише для цього монтування. Збережені параметри не змінюються.</translation>
    </message>
    <message>
        <source>Write access is unavailable for this container.</source>
        <translation>Запис для цього контейнера недоступний.</translation>
    </message>
    <message>
        <source>Check credentials to see whether write access is supported.</source>
        <translation>Перевірте облікові дані, щоб дізнатися, чи підтримується запис.</translation>
    </message>
    <message>
        <source>Linux checks the container&apos;s filesystem with fsck and writes its fixes into the container. Damaged files can be lost, or saved as recovered files. Keep a copy of the container first.</source>
        <translation>Linux перевіряє файлову систему контейнера за допомогою fsck і записує виправлення в контейнер. Пошкоджені файли можуть бути втрачені або збережені як відновлені файли. Спершу створіть копію контейнера.</translation>
    </message>
    <message>
        <source>After a clean result, the marker an unfinished write session left beside the container is removed, so the container can be mounted for writing again.</source>
        <translation>Після чистого результату позначку незавершеного сеансу запису поруч із контейнером буде видалено, і контейнер знову можна буде змонтувати для запису.</translation>
    </message>
    <message>
        <source>Check Current Password</source>
        <translation>Перевірити поточний пароль</translation>
    </message>
    <message>
        <source>New Encryption Algorithm</source>
        <translation>Новий алгоритм шифрування</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Автоматично</translation>
    </message>
    <message>
        <source>Partition number (optional)</source>
        <translation>Номер розділу (необов’язково)</translation>
    </message>
    <message>
        <source>Count data volumes from 1 in partition order. EFI and recovery volumes are excluded.</source>
        <translation>Рахуйте томи з даними від 1 у порядку розділів. Томи EFI та відновлення не враховуються.</translation>
    </message>
    <message>
        <source>A verified replacement takes this path. The original is kept beside it as a backup. Keep both files and any recovery journal together after an interruption.</source>
        <translation>Перевірена заміна займає цей шлях. Оригінал зберігається поруч як резервна копія. Після переривання тримайте обидва файли та журнал відновлення разом.</translation>
    </message>
    <message>
        <source>This creates an unencrypted copy.</source>
        <translation>Буде створено незашифровану копію.</translation>
    </message>
    <message>
        <source>The original stays unchanged, including after success.</source>
        <translation>Оригінал залишається незмінним, зокрема й після успіху.</translation>
    </message>
    <message>
        <source>The new encrypted copy is fully re-encoded and checked before it is saved. If interrupted, restart from the original.</source>
        <translation>Нова зашифрована копія повністю перекодовується й перевіряється перед збереженням. У разі переривання почніть знову з оригіналу.</translation>
    </message>
    <message>
        <source>Checking…</source>
        <translation>Перевірка…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem?</source>
        <translation>Перевірити й відновити файлову систему?</translation>
    </message>
    <message>
        <source>fsck will change the container. Continue only if you have a copy, or if the files can be lost.</source>
        <translation>fsck змінить контейнер. Продовжуйте, лише якщо маєте копію або якщо файли можна втратити.</translation>
    </message>
    <message>
        <source>Choose a new filename. The image will contain unencrypted data.</source>
        <translation>Виберіть нову назву файлу. Образ міститиме незашифровані дані.</translation>
    </message>
    <message>
        <source>Disk images (*.img)</source>
        <translation>Образи дисків (*.img)</translation>
    </message>
    <message>
        <source>Choose a new filename in a private local folder. The original will be kept. Allow enough free space for a second full container.</source>
        <translation>Виберіть нову назву файлу в приватній локальній теці. Оригінал буде збережено. Залиште достатньо вільного місця для другого повного контейнера.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume. Write access is available again.</source>
        <translation>fsck не знайшов на цьому томі проблем, що залишилися. Запис знову доступний.</translation>
    </message>
    <message>
        <source>fsck found no problems left on this volume.</source>
        <translation>fsck не знайшов на цьому томі проблем, що залишилися.</translation>
    </message>
    <message>
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck не зміг виправити всі проблеми. Скопіюйте файли, змонтувавши контейнер лише для читання, а потім створіть новий контейнер.</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>Працює</translation>
    </message>
    <message>
        <source>Disabled</source>
        <translation>Вимкнено</translation>
    </message>
    <message>
        <source>Not installed</source>
        <translation>Не встановлено</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Зупинено</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Запуск</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Запуск під час входу</translation>
    </message>
    <message>
        <source>Only containers with Mount after sign-in enabled are mounted. Each is tried once using credentials you saved in the keyring.</source>
        <translation>Монтуються лише контейнери з увімкненим параметром «Монтувати після входу». Кожен пробується один раз з обліковими даними, збереженими у сховищі ключів.</translation>
    </message>
    <message>
        <source>This Build</source>
        <translation>Ця збірка</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Версія</translation>
    </message>
    <message>
        <source>Mount containers, browse them in the file manager, and unmount them when finished.</source>
        <translation>Монтуйте контейнери, переглядайте їх у файловому менеджері й відмонтовуйте після завершення.</translation>
    </message>
    <message>
        <source>Quit for Update</source>
        <translation>Вийти для оновлення</translation>
    </message>
    <message>
        <source>Unmount all containers and finish recovery first. This also stops the idle mount service.</source>
        <translation>Спершу відмонтуйте всі контейнери й завершіть відновлення. Це також зупиняє неактивну службу монтування.</translation>
    </message>
    <message>
        <source>Storage Backend</source>
        <translation>Сховище</translation>
    </message>
    <message>
        <source>A mount service update is available. Unmount all containers and finish recovery before restarting it.</source>
        <translation>Доступне оновлення служби монтування. Перед її перезапуском відмонтуйте всі контейнери й завершіть відновлення.</translation>
    </message>
    <message>
        <source>Restart Mount Service</source>
        <translation>Перезапустити службу монтування</translation>
    </message>
    <message>
        <source>Tarnwick Broker service</source>
        <translation>Служба Tarnwick Broker</translation>
    </message>
    <message>
        <source>Tarnwick initiator service</source>
        <translation>Служба ініціатора Tarnwick</translation>
    </message>
    <message>
        <source>Mounted containers are served to the built-in Tarnwick initiator service on 127.0.0.1 only. Nothing is exposed to the network.</source>
        <translation>Змонтовані контейнери надаються вбудованій службі ініціатора Tarnwick лише на 127.0.0.1. Нічого не відкривається в мережу.</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Конфіденційність</translation>
    </message>
    <message>
        <source>Passwords are saved only when you select Remember in the keyring. Container references, preferences, and the last check result stay on this PC.</source>
        <translation>Паролі зберігаються, лише якщо вибрати «Запам’ятати у сховищі ключів». Посилання на контейнери, параметри й останній результат перевірки залишаються на цьому комп’ютері.</translation>
    </message>
    <message>
        <source>A decrypted export contains plaintext. Keep it somewhere you trust.</source>
        <translation>Розшифрований експорт містить відкриті дані. Зберігайте його в надійному місці.</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Налаштування</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Закрити</translation>
    </message>
</context>
<context>
    <name>tw::FormDialog</name>
    <message>
        <source>Cancel</source>
        <translation>Скасувати</translation>
    </message>
    <message>
        <source>Advanced</source>
        <translation>Додатково</translation>
    </message>
</context>
</TS>
