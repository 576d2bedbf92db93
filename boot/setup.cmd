# SPDX-License-Identifier: MIT
# Tamberlune's board set-up for U-Boot's standard boot, compiled to
# setup.scr. Standard boot (bootcmd runs bootflow scan) goes on with the next
# bootflow whenever a boot script returns, and may run the UEFI boot manager
# before any script: so the boot flow runs first instead, from bootcmd, and
# bootcmd boots as usual only when the key asks for it. Run once, then
# saveenv:
#   setenv tamberlune_from virtio 0:1    (the partition that holds boot.scr)
#   bootdev hunt virtio; load ${tamberlune_from} ${scriptaddr} setup.scr; source ${scriptaddr}
# Running it again changes nothing: the board's own boot command is kept once,
# in tamberlune_bootcmd.

if test -z "${tamberlune_from}"; then
	echo "Tamberlune: say first which partition holds boot.scr: setenv tamberlune_from virtio 0:1"
else
	# The media uclass, the first word of tamberlune_from, is what its
	# bootdev hunter is called.
	tamberlune_uclass=
	for tamberlune_word in ${tamberlune_from}; do
		if test -z "${tamberlune_uclass}"; then
			tamberlune_uclass=${tamberlune_word}
		fi
	done
	if test -z "${tamberlune_bootcmd}"; then
		setenv tamberlune_bootcmd "${bootcmd}"
	fi
	setenv bootcmd "bootdev hunt ${tamberlune_uclass}; tamberlune_first=yes; if load \${tamberlune_from} \${scriptaddr} boot.scr; then source \${scriptaddr}; else run tamberlune_bootcmd; fi"
	echo "Tamberlune: bootcmd now runs boot.scr from ${tamberlune_from} first, then as the key says; as usual is: ${tamberlune_bootcmd}"
	echo 'Tamberlune: saveenv keeps this; setenv bootcmd "${tamberlune_bootcmd}" undoes it'
fi
