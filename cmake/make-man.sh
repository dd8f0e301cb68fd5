#!/usr/bin/env bash
# Writes the vellorine-cli man page from the program's own --help texts, so the page cannot drift
# from the options.   make-man.sh VELLORINE_CLI VERSION > vellorine-cli.1
set -euo pipefail
cli="$1" version="$2"
commands=$("$cli" --help | awk '/^Subcommands:/ {on = 1; next} on && NF {print $1}')

# Plain text as roff: backslashes escaped, no line taken for a request.
roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

cat <<HEAD
.TH VELLORINE-CLI 1 "" "vellorine-cli $version" "User Commands"
.SH NAME
vellorine-cli \\- find and recover deleted files on disks and disk images
.SH SYNOPSIS
HEAD
for c in $commands; do
    "$cli" "$c" --help | awk '/^Usage:/ {sub(/^Usage: /, ""); print; exit}' | roff | sed 's/^/.br\n/'
done
cat <<'BODY'
.SH DESCRIPTION
.B vellorine-cli
reads a drive, a volume or a disk image (raw, split raw, EWF, VHD/VHDX, VMDK, QCOW2) without ever
writing to it, finds its partitions and file systems (NTFS, FAT12/16/32, exFAT, ext2/3/4, HFS+),
lists their files including deleted ones, searches their names and saves what is asked for into
another folder with the original times.
.PP
Data goes to standard output; status, progress and messages to standard error.
.SH COMMANDS
BODY
for c in $commands; do
    echo ".SS $c"
    echo ".nf"
    "$cli" "$c" --help | roff
    echo ".fi"
done
cat <<'TAIL'
.SH EXIT STATUS
.TP
.B 0
The work was done.
.TP
.B 1
The work failed, or some of it could not be done (for example files that touched unreadable
sectors).
.TP
.B 2
Bad usage, an unreadable source, or a source that holds several volumes and none was chosen.
.TP
.B 3
A save was interrupted (SIGINT or SIGTERM): the file being written was finished or dropped, and
the summary and the recovery report were written.
.SH EXAMPLES
.nf
vellorine-cli volumes disk.img
vellorine-cli scan disk.img \-\-volume 1 \-\-json
vellorine-cli search disk.img \-\-volume 1 \-\-pattern '\e.jpg$' \-\-ignore-case
vellorine-cli save disk.img \-\-volume 1 \-\-out /mnt/other/recovered \-\-path ROOT/Documents
.fi
.SH SEE ALSO
.BR vellorine (1),
.BR fls (1),
.BR photorec (8)
TAIL
