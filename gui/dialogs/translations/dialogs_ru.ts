<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>Dialogs</name>
    <message>
        <source>Tarnwick Pro</source>
        <translation type="vanished">Tarnwick Pro</translation>
    </message>
    <message>
        <source>Not available yet.</source>
        <translation type="vanished">Пока недоступно.</translation>
    </message>
</context>
<context>
    <name>tw::Dialogs</name>
    <message>
        <source>Use up to 32 characters, without \ / : * ? &quot; &lt; &gt; | or surrounding spaces.</source>
        <translation>Используйте до 32 символов, без \ / : * ? &quot; &lt; &gt; | и без пробелов в начале или в конце.</translation>
    </message>
    <message>
        <source>Use 1 to 11 uppercase letters, digits, spaces, or underscores. This is the name shown in the file manager.</source>
        <translation>Используйте от 1 до 11 заглавных латинских букв, цифр, пробелов или подчёркиваний. Это имя показывает файловый менеджер.</translation>
    </message>
    <message>
        <source>Passwords use exact UTF-8 bytes. Spaces are kept; passwords are never shortened or normalized.</source>
        <translation>Пароли используют точные байты UTF-8. Пробелы сохраняются; пароли никогда не сокращаются и не нормализуются.</translation>
    </message>
    <message>
        <source>New Container</source>
        <translation>Новый контейнер</translation>
    </message>
    <message>
        <source>Image Removable Device</source>
        <translation>Создать образ съёмного устройства</translation>
    </message>
    <message>
        <source>Size (MiB)</source>
        <translation>Размер (МиБ)</translation>
    </message>
    <message>
        <source>Filesystem</source>
        <translation>Файловая система</translation>
    </message>
    <message>
        <source>Creation needs temporary space for the filesystem image and the new container. Compressed size depends on the data.</source>
        <translation>Для создания нужно временное место для образа файловой системы и нового контейнера. Сжатый размер зависит от данных.</translation>
    </message>
    <message>
        <source>Volume Name</source>
        <translation>Имя тома</translation>
    </message>
    <message>
        <source>The selected device will be unmounted and read without writing to it. The encrypted image preserves its partitions and filesystem.</source>
        <translation>Выбранное устройство будет отмонтировано и прочитано без записи на него. Зашифрованный образ сохраняет его разделы и файловую систему.</translation>
    </message>
    <message>
        <source>Encryption Algorithm</source>
        <translation>Алгоритм шифрования</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Сжатие</translation>
    </message>
    <message>
        <source>Custom System Key</source>
        <translation>Собственный системный ключ</translation>
    </message>
    <message>
        <source>Optional: 14 hexadecimal digits. Leave empty for this app’s default key.</source>
        <translation>Необязательно: 14 шестнадцатеричных цифр. Оставьте пустым, чтобы использовать ключ приложения по умолчанию.</translation>
    </message>
    <message>
        <source>The entire container is initialized and verified before it is saved. Existing files are never replaced.</source>
        <translation>Весь контейнер инициализируется и проверяется перед сохранением. Существующие файлы никогда не заменяются.</translation>
    </message>
    <message>
        <source>Mounts default to read-only. Experimental write access for NTFS, exFAT, and FAT32 is available in Mount Preferences.</source>
        <translation>По умолчанию подключение только для чтения. Экспериментальная запись для NTFS, exFAT и FAT32 доступна в параметрах подключения.</translation>
    </message>
    <message>
        <source>Import from VeraCrypt</source>
        <translation>Импорт из VeraCrypt</translation>
    </message>
    <message>
        <source>Select the original VeraCrypt file. The volume can stay mounted read-only. Use a new password for the Tarnwick copy.</source>
        <translation>Выберите исходный файл VeraCrypt. Том может оставаться подключённым только для чтения. Используйте для копии Tarnwick новый пароль.</translation>
    </message>
    <message>
        <source>VeraCrypt Password</source>
        <translation>Пароль VeraCrypt</translation>
    </message>
    <message>
        <source>This version imports standard VeraCrypt files that use AES, SHA-512 and the default PIM on a local ext4, XFS or Btrfs disk.</source>
        <translation>Эта версия импортирует стандартные файлы VeraCrypt с AES, SHA-512 и PIM по умолчанию на локальном диске ext4, XFS или Btrfs.</translation>
    </message>
    <message>
        <source>Tarnwick copies every sector into a new AES container and checks it before saving it. The copy includes free space, which can hold deleted files. Keep the VeraCrypt file until you have checked your files.</source>
        <translation>Tarnwick копирует каждый сектор в новый контейнер AES и проверяет его перед сохранением. Копия включает свободное место, где могут быть удалённые файлы. Храните файл VeraCrypt, пока не проверите свои файлы.</translation>
    </message>
    <message>
        <source>Unlocking VeraCrypt Volume</source>
        <translation>Разблокировка тома VeraCrypt</translation>
    </message>
    <message>
        <source>Preparing Filesystem</source>
        <translation>Подготовка файловой системы</translation>
    </message>
    <message>
        <source>Cancellation waits for Linux to finish preparing the empty filesystem. No existing file will be replaced.</source>
        <translation>Отмена ждёт, пока Linux закончит подготовку пустой файловой системы. Ни один существующий файл не будет заменён.</translation>
    </message>
    <message>
        <source>Cancellation stops the image copy. The source device is never written.</source>
        <translation>Отмена останавливает копирование образа. На исходное устройство ничего не записывается.</translation>
    </message>
    <message>
        <source>Cancel removes the unfinished copy. The VeraCrypt file is never changed.</source>
        <translation>Отмена удаляет незавершённую копию. Файл VeraCrypt никогда не изменяется.</translation>
    </message>
    <message>
        <source>Cancelling</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Cancelling Creation</source>
        <translation>Отмена создания</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>Импортировать</translation>
    </message>
    <message>
        <source>Create Container</source>
        <translation>Создать контейнер</translation>
    </message>
    <message>
        <source>Image Device</source>
        <translation>Создать образ устройства</translation>
    </message>
    <message>
        <source>%1.zcx</source>
        <translation>%1.zcx</translation>
    </message>
    <message>
        <source>Untitled</source>
        <translation>Без имени</translation>
    </message>
    <message>
        <source>Choose a new file in a private local folder. Existing files will never be replaced.</source>
        <translation>Выберите новый файл в личной локальной папке. Существующие файлы никогда не будут заменены.</translation>
    </message>
    <message>
        <source>ZCX containers (*.zcx)</source>
        <translation>Контейнеры ZCX (*.zcx)</translation>
    </message>
    <message>
        <source>Choose a removable device to capture into a new encrypted container. Its volumes will be unmounted; the device is read-only during capture.</source>
        <translation>Выберите съёмное устройство для записи в новый зашифрованный контейнер. Его тома будут отмонтированы; во время чтения устройство доступно только для чтения.</translation>
    </message>
    <message>
        <source>Source Device</source>
        <translation>Исходное устройство</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Обновить</translation>
    </message>
    <message>
        <source>No eligible removable devices found.</source>
        <translation>Подходящие съёмные устройства не найдены.</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Продолжить</translation>
    </message>
    <message>
        <source>Choose VeraCrypt File</source>
        <translation>Выберите файл VeraCrypt</translation>
    </message>
    <message>
        <source>VeraCrypt volumes (*.hc)</source>
        <translation>Тома VeraCrypt (*.hc)</translation>
    </message>
    <message>
        <source>Choose a new file in a private folder on a local ext4, XFS or Btrfs disk. Tarnwick leaves the VeraCrypt file intact.</source>
        <translation>Выберите новый файл в личной папке на локальном диске ext4, XFS или Btrfs. Tarnwick не изменяет файл VeraCrypt.</translation>
    </message>
    <message>
        <source>AES with 256-bit keys in XTS mode for disk encryption.</source>
        <translation>AES с 256-битными ключами в режиме XTS для шифрования дисков.</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the XChaCha20 security notice in Important Information and Licenses.</source>
        <translation>Рекомендуется AES-256-XTS. Прочитайте примечание о безопасности XChaCha20 в разделе «Важная информация и лицензии».</translation>
    </message>
    <message>
        <source>AES-256-XTS is recommended. Read the SSE1 security notice in Important Information and Licenses.</source>
        <translation>Рекомендуется AES-256-XTS. Прочитайте примечание о безопасности SSE1 в разделе «Важная информация и лицензии».</translation>
    </message>
    <message>
        <source>XOR provides obfuscation only. It does not protect confidential data. AES-256-XTS is recommended.</source>
        <translation>XOR лишь маскирует данные. Он не защищает конфиденциальные данные. Рекомендуется AES-256-XTS.</translation>
    </message>
    <message>
        <source>Keep Current Setting</source>
        <translation>Оставить текущую настройку</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Выключено</translation>
    </message>
    <message>
        <source>Fast (LZ4)</source>
        <translation>Быстрое (LZ4)</translation>
    </message>
    <message>
        <source>Fast compression can save disk space. Storage grows as you add data; keep free space on the disk containing this file.</source>
        <translation>Быстрое сжатие может сэкономить место на диске. Объём растёт по мере добавления данных; оставляйте свободное место на диске с этим файлом.</translation>
    </message>
    <message>
        <source>The destination already exists. Choose a new filename.</source>
        <translation>Файл назначения уже существует. Выберите новое имя файла.</translation>
    </message>
    <message>
        <source>Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.</source>
        <translation>Используйте пароль не длиннее 4096 байт UTF-8 и системный ключ из 14 шестнадцатеричных цифр.</translation>
    </message>
    <message>
        <source>Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.</source>
        <translation>Выберите FAT32, exFAT или NTFS, положительный целый размер в МиБ и допустимое имя тома.</translation>
    </message>
    <message>
        <source>Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size in that range or another filesystem.</source>
        <translation>Linux форматирует FAT32 от 64 МиБ до 2 ТиБ. Выберите размер в этих пределах или другую файловую систему.</translation>
    </message>
    <message>
        <source>The requested size exceeds the file size supported by the destination filesystem or Linux.</source>
        <translation>Запрошенный размер превышает размер файла, поддерживаемый файловой системой назначения или Linux.</translation>
    </message>
    <message>
        <source>Mount Preferences</source>
        <translation>Параметры подключения</translation>
    </message>
    <message>
        <source>Mount label</source>
        <translation>Метка подключения</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Сохранить</translation>
    </message>
    <message>
        <source>Leave blank to use the container filename. Duplicate names get a number. Changes apply on the next mount.</source>
        <translation>Оставьте пустым, чтобы использовать имя файла контейнера. Одинаковые имена получают номер. Изменения вступят в силу при следующем подключении.</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Current mount name</source>
        <translation>Текущее имя подключения</translation>
    </message>
    <message>
        <source>Mount read-only</source>
        <translation>Подключить только для чтения</translation>
    </message>
    <message>
        <source>Experimental writes use the Linux NTFS, exFAT, and FAT drivers. Check credentials to detect support. Changes apply on the next mount.</source>
        <translation>Экспериментальная запись использует драйверы NTFS, exFAT и FAT в Linux. Проверьте учётные данные, чтобы определить поддержку. Изменения вступят в силу при следующем подключении.</translation>
    </message>
    <message>
        <source>Unmount after inactivity</source>
        <translation>Отключить после бездействия</translation>
    </message>
    <message numerus="yes">
        <source>%n minutes</source>
        <translation>
            <numerusform>%n минута</numerusform>
            <numerusform>%n минуты</numerusform>
            <numerusform>%n минут</numerusform>
        </translation>
    </message>
    <message>
        <source>Custom…</source>
        <translation>Своё значение…</translation>
    </message>
    <message>
        <source>Minutes</source>
        <translation>Минуты</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Применить</translation>
    </message>
    <message>
        <source>Counts time without disk activity observed by the worker, including sleep. Background activity resets the timer; cached reads may not. Busy volumes stay mounted.</source>
        <translation>Учитывается время без дисковой активности, замеченной рабочим процессом, включая сон. Фоновая активность сбрасывает таймер; чтение из кэша может не сбрасывать. Занятые тома остаются подключёнными.</translation>
    </message>
    <message>
        <source>Mount after sign-in</source>
        <translation>Подключать после входа</translation>
    </message>
    <message>
        <source>Enable Launch at Login in Settings, then mount once with Remember in the keyring selected. Missing credentials leave the container locked.</source>
        <translation>Включите «Запуск при входе» в настройках, затем один раз подключите с выбранным параметром «Запомнить в связке ключей». Без учётных данных контейнер останется заблокированным.</translation>
    </message>
    <message>
        <source>Forget Saved Password</source>
        <translation>Забыть сохранённый пароль</translation>
    </message>
    <message>
        <source>Enable Experimental Writes?</source>
        <translation>Включить экспериментальную запись?</translation>
    </message>
    <message>
        <source>Normal writes and injected errors have been tested. Crash recovery is not qualified: a crash can damage the filesystem. Keep a separate backup. Login mounts stay read-only.</source>
        <translation>Обычная запись и внесённые ошибки проверены. Восстановление после сбоя не аттестовано: сбой может повредить файловую систему. Храните отдельную резервную копию. Подключения при входе остаются только для чтения.</translation>
    </message>
    <message>
        <source>Enter 1 to 525600 minutes.</source>
        <translation>Введите от 1 до 525600 минут.</translation>
    </message>
    <message>
        <source>Mount Container</source>
        <translation>Подключить контейнер</translation>
    </message>
    <message>
        <source>Mount</source>
        <translation>Подключить</translation>
    </message>
    <message>
        <source>Check Credentials</source>
        <translation>Проверить учётные данные</translation>
    </message>
    <message>
        <source>Check</source>
        <translation>Проверить</translation>
    </message>
    <message>
        <source>Export Decrypted Image</source>
        <translation>Экспортировать расшифрованный образ</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Экспортировать</translation>
    </message>
    <message>
        <source>Change Password</source>
        <translation>Сменить пароль</translation>
    </message>
    <message>
        <source>Create New Password Copy</source>
        <translation>Создать копию с новым паролем</translation>
    </message>
    <message>
        <source>Convert Copy</source>
        <translation>Преобразовать копию</translation>
    </message>
    <message>
        <source>Create Encrypted Copy</source>
        <translation>Создать зашифрованную копию</translation>
    </message>
    <message>
        <source>Re-encrypt at Same Path</source>
        <translation>Перешифровать по тому же пути</translation>
    </message>
    <message>
        <source>Replace and Keep Backup</source>
        <translation>Заменить и сохранить резервную копию</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem</source>
        <translation>Проверить и исправить файловую систему</translation>
    </message>
    <message>
        <source>Check and Repair</source>
        <translation>Проверить и исправить</translation>
    </message>
    <message>
        <source>Current Password</source>
        <translation>Текущий пароль</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Пароль</translation>
    </message>
    <message>
        <source>Leave empty for an unencrypted image.</source>
        <translation>Оставьте пустым для незашифрованного образа.</translation>
    </message>
    <message>
        <source>Remember in the keyring on this PC</source>
        <translation>Запомнить в связке ключей на этом компьютере</translation>
    </message>
    <message>
        <source>Required for mounting after sign-in. Saved only after a successful mount.</source>
        <translation>Нужно для подключения после входа. Сохраняется только после успешного подключения.</translation>
    </message>
    <message>
        <source>Applies to this mount only. Saved preferences stay unchanged.</source>
        <translation>Действует только для этого подключения. Сохранённые параметры не меняются.</translation>
    </message>
    <message>
        <source>Write access is unavailable for this container.</source>
        <translation>Запись для этого контейнера недоступна.</translation>
    </message>
    <message>
        <source>Check credentials to see whether write access is supported.</source>
        <translation>Проверьте учётные данные, чтобы узнать, поддерживается ли запись.</translation>
    </message>
    <message>
        <source>Linux checks the container&apos;s filesystem with fsck and writes its fixes into the container. Damaged files can be lost, or saved as recovered files. Keep a copy of the container first.</source>
        <translation>Linux проверяет файловую систему контейнера с помощью fsck и записывает исправления в контейнер. Повреждённые файлы могут быть потеряны или сохранены как восстановленные файлы. Сначала сделайте копию контейнера.</translation>
    </message>
    <message>
        <source>After a clean result, the marker an unfinished write session left beside the container is removed, so the container can be mounted for writing again.</source>
        <translation>После чистого результата метка незавершённого сеанса записи рядом с контейнером удаляется, и контейнер снова можно подключить для записи.</translation>
    </message>
    <message>
        <source>Check Current Password</source>
        <translation>Проверить текущий пароль</translation>
    </message>
    <message>
        <source>New Encryption Algorithm</source>
        <translation>Новый алгоритм шифрования</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Автоматически</translation>
    </message>
    <message>
        <source>Partition number (optional)</source>
        <translation>Номер раздела (необязательно)</translation>
    </message>
    <message>
        <source>Count data volumes from 1 in partition order. EFI and recovery volumes are excluded.</source>
        <translation>Считайте тома с данными от 1 в порядке разделов. Тома EFI и восстановления не учитываются.</translation>
    </message>
    <message>
        <source>A verified replacement takes this path. The original is kept beside it as a backup. Keep both files and any recovery journal together after an interruption.</source>
        <translation>Проверенная замена занимает этот путь. Оригинал сохраняется рядом как резервная копия. После прерывания храните оба файла и журнал восстановления вместе.</translation>
    </message>
    <message>
        <source>This creates an unencrypted copy.</source>
        <translation>Будет создана незашифрованная копия.</translation>
    </message>
    <message>
        <source>The original stays unchanged, including after success.</source>
        <translation>Оригинал остаётся неизменным, в том числе после успеха.</translation>
    </message>
    <message>
        <source>The new encrypted copy is fully re-encoded and checked before it is saved. If interrupted, restart from the original.</source>
        <translation>Новая зашифрованная копия полностью перекодируется и проверяется перед сохранением. При прерывании начните заново с оригинала.</translation>
    </message>
    <message>
        <source>Checking…</source>
        <translation>Проверка…</translation>
    </message>
    <message>
        <source>Check and Repair Filesystem?</source>
        <translation>Проверить и исправить файловую систему?</translation>
    </message>
    <message>
        <source>fsck will change the container. Continue only if you have a copy, or if the files can be lost.</source>
        <translation>fsck изменит контейнер. Продолжайте, только если у вас есть копия или файлы можно потерять.</translation>
    </message>
    <message>
        <source>Choose a new filename. The image will contain unencrypted data.</source>
        <translation>Выберите новое имя файла. Образ будет содержать незашифрованные данные.</translation>
    </message>
    <message>
        <source>Disk images (*.img)</source>
        <translation>Образы дисков (*.img)</translation>
    </message>
    <message>
        <source>Choose a new filename in a private local folder. The original will be kept. Allow enough free space for a second full container.</source>
        <translation>Выберите новое имя файла в личной локальной папке. Оригинал будет сохранён. Оставьте достаточно свободного места для второго полного контейнера.</translation>
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
        <source>fsck could not fix every problem. Copy your files off with a read-only mount, then create a new container.</source>
        <translation>fsck не смог исправить все проблемы. Скопируйте файлы, подключив контейнер только для чтения, а затем создайте новый контейнер.</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>Работает</translation>
    </message>
    <message>
        <source>Disabled</source>
        <translation>Отключена</translation>
    </message>
    <message>
        <source>Not installed</source>
        <translation>Не установлена</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Остановлена</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Запуск</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Запуск при входе</translation>
    </message>
    <message>
        <source>Only containers with Mount after sign-in enabled are mounted. Each is tried once using credentials you saved in the keyring.</source>
        <translation>Подключаются только контейнеры с включённым параметром «Подключать после входа». Каждый пробуется один раз с учётными данными, сохранёнными в связке ключей.</translation>
    </message>
    <message>
        <source>This Build</source>
        <translation>Эта сборка</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Версия</translation>
    </message>
    <message>
        <source>Mount containers, browse them in the file manager, and unmount them when finished.</source>
        <translation>Подключайте контейнеры, просматривайте их в файловом менеджере и отключайте после завершения.</translation>
    </message>
    <message>
        <source>Quit for Update</source>
        <translation>Выйти для обновления</translation>
    </message>
    <message>
        <source>Unmount all containers and finish recovery first. This also stops the idle mount service.</source>
        <translation>Сначала отключите все контейнеры и завершите восстановление. Это также останавливает неактивную службу подключения.</translation>
    </message>
    <message>
        <source>Storage Backend</source>
        <translation>Хранилище</translation>
    </message>
    <message>
        <source>A mount service update is available. Unmount all containers and finish recovery before restarting it.</source>
        <translation>Доступно обновление службы подключения. Перед её перезапуском отключите все контейнеры и завершите восстановление.</translation>
    </message>
    <message>
        <source>Restart Mount Service</source>
        <translation>Перезапустить службу подключения</translation>
    </message>
    <message>
        <source>Tarnwick Broker service</source>
        <translation>Служба Tarnwick Broker</translation>
    </message>
    <message>
        <source>Tarnwick initiator service</source>
        <translation>Служба инициатора Tarnwick</translation>
    </message>
    <message>
        <source>Mounted containers are served to the built-in Tarnwick initiator service on 127.0.0.1 only. Nothing is exposed to the network.</source>
        <translation>Подключённые контейнеры предоставляются встроенной службе инициатора Tarnwick только на 127.0.0.1. Ничего не открывается в сеть.</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Конфиденциальность</translation>
    </message>
    <message>
        <source>Passwords are saved only when you select Remember in the keyring. Container references, preferences, and the last check result stay on this PC.</source>
        <translation>Пароли сохраняются, только если выбрать «Запомнить в связке ключей». Ссылки на контейнеры, параметры и последний результат проверки остаются на этом компьютере.</translation>
    </message>
    <message>
        <source>A decrypted export contains plaintext. Keep it somewhere you trust.</source>
        <translation>Расшифрованный экспорт содержит открытые данные. Храните его в надёжном месте.</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Закрыть</translation>
    </message>
</context>
<context>
    <name>tw::FormDialog</name>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Advanced</source>
        <translation>Дополнительно</translation>
    </message>
</context>
</TS>
