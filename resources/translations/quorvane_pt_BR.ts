<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt_BR">
<context>
    <name>quorvane::BootstrapView</name>
    <message>
        <source>Installing %1</source>
        <extracomment>The large title at the top of the window. %1 is the product&apos;s name. One line of 460 px at 25 px semibold; a longer one is drawn smaller, down to 18 px: best under 32 characters of Latin script.</extracomment>
        <translation>Instalando o %1</translation>
    </message>
    <message>
        <source>Downloading %1 %2…</source>
        <extracomment>First status line while the package downloads. %1 is the product&apos;s name, %2 its version (2.4.1). Ends with the ellipsis character. At most two lines of 460 px at 12.5 px, best one: about 70 characters of Latin script.</extracomment>
        <translation>Baixando o %1 %2…</translation>
    </message>
    <message>
        <source>Reconnecting…</source>
        <extracomment>Second status line while a dropped connection is resumed, in place of the megabyte figures. Ends with the ellipsis character. One line of 460 px.</extracomment>
        <translation>Reconectando…</translation>
    </message>
    <message>
        <source>Waiting for the network…</source>
        <extracomment>Second status line when no data has arrived for a few seconds while the connection is still open, in place of the megabyte figures; they return when data flows again. Ends with the ellipsis character. One line of 460 px.</extracomment>
        <translation>Aguardando a rede…</translation>
    </message>
    <message>
        <source>%1 MB of %2 MB</source>
        <extracomment>Second status line while downloading: the megabytes received (%1) of the total (%2), whole numbers in the language&apos;s own digits. The language&apos;s unit and word order. One line of 460 px at 12.5 px.</extracomment>
        <translation>%1 MB de %2 MB</translation>
    </message>
    <message>
        <source>Checking the installed app…</source>
        <extracomment>Status line while the installer looks for a copy of the app already installed. Ends with the ellipsis character. At most two lines of 460 px at 12.5 px.</extracomment>
        <translation>Verificando o app instalado…</translation>
    </message>
    <message>
        <source>Verifying the installer…</source>
        <extracomment>Status line while the downloaded installer package is checked (size, checksum, signature). Ends with the ellipsis character. At most two lines of 460 px.</extracomment>
        <translation>Validando o instalador…</translation>
    </message>
    <message>
        <source>Adding %1 to Applications…</source>
        <extracomment>Status line while the app is put in place. %1 is the product&apos;s name; Applications is where the desktop lists its applications: the word the desktop uses for it. Ends with the ellipsis character. At most two lines of 460 px at 12.5 px.</extracomment>
        <translation>Adicionando o %1 aos Aplicativos…</translation>
    </message>
    <message>
        <source>%1% downloaded</source>
        <extracomment>After the first status line in what screen readers read for the window during the download: the whole percent downloaded (%1, in the language&apos;s digits), as the language writes a percentage. Never drawn.</extracomment>
        <translation>%1% baixado</translation>
    </message>
</context>
<context>
    <name>quorvane::BootstrapWindow</name>
    <message>
        <source>Install %1</source>
        <extracomment>The window&apos;s title, for the taskbar, the window switcher and screen readers; it is not drawn. %1 is the product&apos;s name. Keep it short: about 30 characters.</extracomment>
        <translation>Instalar o %1</translation>
    </message>
</context>
<context>
    <name>quorvane::CloseButton</name>
    <message>
        <source>Close</source>
        <extracomment>The small cross at the window&apos;s top right, which closes the window: what screen readers call it, and its tooltip. One or two words.</extracomment>
        <translation>Fechar</translation>
    </message>
</context>
<context>
    <name>quorvane::ProgressBar</name>
    <message>
        <source>Installation progress</source>
        <extracomment>What screen readers call the progress bar; never drawn. Its value (&quot;42%&quot;) is not translated.</extracomment>
        <translation>Progresso da instalação</translation>
    </message>
</context>
<context>
    <name>quorvane::StatusBlock</name>
    <message>
        <source>Retry</source>
        <extracomment>The link under a failure sentence (which stays in English) that starts the installation again: the word the desktop uses for Retry. One short line, centred.</extracomment>
        <translation>Tentar novamente</translation>
    </message>
</context>
</TS>
