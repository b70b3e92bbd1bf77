#!/bin/sh
# write-probe.sh TOKEN: run inside the service's sandbox (as an extra ExecStartPost= of a drop-in).
# Tries to create .velantis-probe-TOKEN in every mount point it sees, in every directory that
# others may write to below the usual places and in every folder of /var/log and /var/lib, and
# names on standard error each folder where that worked. Whether such a file is also seen outside the sandbox tells a private folder (a private
# /tmp) from a writable path of the host.
token=$1
{
    awk '{ print $5 }' /proc/self/mountinfo
    find /dev /etc /media /mnt /opt /run /srv /tmp /var -xdev -type d -perm -0002 2>/dev/null
    find /var/log /var/lib -maxdepth 1 -type d
} | sort -u | while read -r dir; do
    if (: >"$dir/.velantis-probe-$token") 2>/dev/null; then
        echo "velantis-probe $token: wrote $dir" >&2
    fi
done
exit 0
