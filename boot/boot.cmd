# SPDX-License-Identifier: MIT
# Tamberlune's boot flow for U-Boot, compiled to boot.scr (mkimage -T script).
#
# This script starts Tamberlune, which shows its key menu and records the
# choice as a volatile UEFI variable under its vendor GUID; then it boots the
# way that variable says:
#   PXEVariable        network boot: the file the DHCP server names, by TFTP
#   RestOrderVariable  delete BootOrder and BootNext, then boot as usual
#   BootmenuVariable   stop, list what can boot and how, and leave the prompt
#   none of them       boot as usual, exactly as without this script
#
# Three ways in, by how the board boots:
#   distro   U-Boot's distro boot (bootcmd runs distro_bootcmd: U-Boot 2023.01,
#            and RISC-V on later releases) runs boot.scr from the boot
#            partition before it looks there for an EFI loader. Booting as
#            usual is returning; stopping is turning the rest of the distro
#            boot into no-ops.
#   first    standard boot (bootcmd runs bootflow scan) with the board set-up
#            of the README: bootcmd sets tamberlune_first, names the partition
#            in tamberlune_from and runs this script before the scan, which
#            tamberlune_bootcmd holds. Booting as usual is running that;
#            stopping is not running it.
#   scan     standard boot without that set-up: the scan found this script.
#            Booting as usual is returning; nothing a script does stops the
#            scan, which goes on with the next bootflow when it returns.
# Tamberlune is \EFI\Tamberlune\Tamberlune.efi on the partition and the
# listing \EFI\Tamberlune\BootOptions.efi, each the build for this machine.
# Echoed texts are quoted: a bare ';' would end the command.

tamberlune_guid=c450ed8e-c3c2-4fe7-aee6-d1c50abb78cf
tamberlune_choice=none
if test "${tamberlune_first}" = yes; then
	tamberlune_first=no
	tamberlune_way=first
	tamberlune_part="${tamberlune_from}"
else
	if env exists distro_bootcmd; then
		tamberlune_way=distro
	else
		tamberlune_way=scan
	fi
	tamberlune_part="${devtype} ${devnum}:${distro_bootpart}"
fi
# Once a boot: should a later scan find this script again (another prefix,
# partition or boot target, or a resumed boot), it leaves the flow alone. A
# shell variable, not an environment one, so that saveenv never keeps it.
# (This U-Boot's exit does not leave a script from inside an if.)
if test -n "${tamberlune_ran}"; then
	echo "Tamberlune: the boot flow ran this boot already, booting as usual"
elif load ${tamberlune_part} ${kernel_addr_r} EFI/Tamberlune/Tamberlune.efi; then
	tamberlune_ran=yes
	# The return code of bootefi says nothing reliable: the variables do.
	bootefi ${kernel_addr_r}
	# Which choice was made; U-Boot says "not defined" of each one that was not.
	for tamberlune_name in PXEVariable RestOrderVariable BootmenuVariable; do
		if test "${tamberlune_choice}" = none; then
			if printenv -e -n -guid ${tamberlune_guid} ${tamberlune_name}; then
				tamberlune_choice=${tamberlune_name}
				# Read once, acted on once: the choice is gone for anything
				# that starts later in this boot.
				setenv -e -guid ${tamberlune_guid} -bs ${tamberlune_name}
			fi
		fi
	done
else
	echo "Tamberlune: no EFI/Tamberlune/Tamberlune.efi on ${tamberlune_part}, booting as usual"
fi

if test "${tamberlune_choice}" = PXEVariable; then
	echo "Tamberlune: network boot"
	# dhcp with autoload on would fetch a file by itself, to its own address:
	# off while we ask, then as it was, with the boot file, for U-Boot's own
	# network boot later. A stale boot file must not pass for the server's.
	tamberlune_autoload=${autoload}
	tamberlune_bootfile=${bootfile}
	setenv autoload no
	setenv bootfile
	if env exists boot_pci_enum; then
		run boot_pci_enum
	fi
	tamberlune_booted=no
	if dhcp; then
		if test -z "${bootfile}"; then
			echo "Tamberlune: the DHCP server names no boot file"
		elif tftpboot ${kernel_addr_r} ${bootfile}; then
			echo "Tamberlune: starting ${bootfile} from ${serverip}"
			tamberlune_booted=yes
			bootefi ${kernel_addr_r}:${filesize}
		fi
	fi
	setenv autoload ${tamberlune_autoload}
	setenv bootfile ${tamberlune_bootfile}
	if test "${tamberlune_booted}" = yes; then
		echo "Tamberlune: the network boot file returned, booting as usual"
	else
		echo "Tamberlune: network boot failed, booting as usual"
	fi
elif test "${tamberlune_choice}" = RestOrderVariable; then
	echo "Tamberlune: boot-order reset"
	for tamberlune_name in BootOrder BootNext; do
		if printenv -e ${tamberlune_name}; then
			setenv -e -nv -bs -rt ${tamberlune_name}
			echo "Tamberlune: removed ${tamberlune_name} (shown above)"
		fi
	done
	echo "Tamberlune: booting as usual"
elif test "${tamberlune_choice}" = BootmenuVariable; then
	echo "Tamberlune: boot manager menu"
	if test "${tamberlune_way}" = distro; then
		# Autoboot stops here: every boot target left in this distro boot,
		# and what is left of this partition's scan, does nothing. In memory
		# only: tamberlune_resume puts the defaults back, and so does a reset.
		tamberlune_stopped="scan_dev_for_boot scan_dev_for_extlinux scan_dev_for_scripts scan_dev_for_efi"
		for tamberlune_target in ${boot_targets}; do
			tamberlune_stopped="${tamberlune_stopped} bootcmd_${tamberlune_target}"
		done
		for tamberlune_name in ${tamberlune_stopped}; do
			setenv ${tamberlune_name} true
		done
		setenv tamberlune_resume "env default -f ${tamberlune_stopped}"
	fi
	if help bootmenu; then
		# A U-Boot with a menu of its own: it lists the UEFI boot options too.
		bootmenu
	fi
	if load ${tamberlune_part} ${kernel_addr_r} EFI/Tamberlune/BootOptions.efi; then
		bootefi ${kernel_addr_r}
	fi
	echo "Boot targets of this U-Boot, each with the line that boots it:"
	if test "${tamberlune_way}" = distro; then
		for tamberlune_target in ${boot_targets}; do
			echo "  ${tamberlune_target}: run tamberlune_resume bootcmd_${tamberlune_target}"
		done
		echo "Tamberlune: autoboot stopped: run tamberlune_resume bootcmd boots as usual, so does a reset"
	else
		# Standard boot: a target is a label (a media uclass such as virtio,
		# a device such as mmc1, or dhcp) or, where the board names none, a
		# bootdev; bootflow scan -lb boots what it finds there.
		if test -n "${boot_targets}"; then
			for tamberlune_target in ${boot_targets}; do
				echo "  ${tamberlune_target}: bootflow scan -lb ${tamberlune_target}"
			done
		else
			bootdev list
			echo "  each bootdev above: bootflow scan -lb NAME"
		fi
		if test "${tamberlune_way}" = first; then
			echo "Tamberlune: autoboot stopped: run tamberlune_bootcmd boots as usual, so does a reset"
		else
			echo "Tamberlune: standard boot goes on after a boot script returns, so autoboot goes on; the board set-up (setup.scr, see the README) runs this script first, where Escape stops it"
		fi
	fi
fi

# Run first by bootcmd: booting as usual is the board's own boot command.
if test "${tamberlune_way}" = first; then
	if test "${tamberlune_choice}" != BootmenuVariable; then
		run tamberlune_bootcmd
	fi
fi
