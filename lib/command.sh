# SPDX-License-Identifier: MIT
# Sourced by every shell command: one way of reading arguments, of checking
# the file a person names for output, of installing what a job needs, and of
# ending when interrupted. Every command finds it the same way, from where
# the command's file lies (a link to it followed): in lib/ beside tools/, in
# a checkout as in the package's share/tamberlune.

# A command started in the background by a shell without job control (a CI
# runner's, or a script's "command &") inherits SIGINT ignored, and bash can
# neither trap nor reset a signal it was started ignoring: the command starts
# itself again (bash keeps its script open as descriptor 255) with SIGINT and
# SIGTERM at their defaults, so that an interrupt sent to its process group
# ends it as one typed on its terminal does.
if [ -n "$(trap -p INT TERM)" ] && [ -z "${TAMBERLUNE_RESTARTED:-}" ] &&
  TAMBERLUNE_SCRIPT=$(readlink -f "/proc/$$/fd/255" 2>/dev/null); then
  TAMBERLUNE_RESTARTED=yes exec env --default-signal=INT,TERM "$BASH" "$TAMBERLUNE_SCRIPT" "$@"
fi
unset TAMBERLUNE_RESTARTED

# Debian's Python: the Debian packages the Python code uses (pexpect) are its,
# whatever other Python comes first on PATH. What it runs finds the shared
# Python code here.
TAMBERLUNE_PYTHON=python3
[ ! -x /usr/bin/python3 ] || TAMBERLUNE_PYTHON=/usr/bin/python3
export PYTHONPATH=$TAMBERLUNE_LIBRARY${PYTHONPATH:+:$PYTHONPATH}

# Installed, the folder that holds lib/ and tools/ also holds the images and
# a file that names the package's version; a checkout builds its images.
TAMBERLUNE_IMAGES=
TAMBERLUNE_VERSION=
if [ -f "$TAMBERLUNE_LIBRARY/../version" ]; then
  TAMBERLUNE_IMAGES=$(dirname "$TAMBERLUNE_LIBRARY")
  TAMBERLUNE_VERSION=$(cat "$TAMBERLUNE_LIBRARY/../version")
fi

# tamberlune_architecture: this machine's Debian architecture (amd64, arm64,
# ...), or its kernel's name for it where dpkg is missing.
tamberlune_architecture() {
  dpkg --print-architecture 2>/dev/null || uname -m
}

# tamberlune_machines ARGUMENTS...: the machine table (lib/machines.py).
tamberlune_machines() {
  "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/machines.py" "$@"
}

# tamberlune_command NAME: messages begin "NAME: "; an interrupt (SIGINT,
# SIGTERM) stops what runs, removes what this command was writing, says
# "NAME: interrupted" once (a command started by another leaves that to its
# caller) and exits 130 or 143.
tamberlune_command() {
  # Exported: the Python steps a command runs speak in its name.
  export TAMBERLUNE_NAME=$1
  TAMBERLUNE_CHILD=
  TAMBERLUNE_LEFTOVERS=()
  trap 'tamberlune_interrupted 130' INT
  trap 'tamberlune_interrupted 143' TERM
  trap 'tamberlune_clean_up' EXIT
  # A command started by another (its parent's process is the one named
  # here) leaves the report of an interrupt to that one.
  TAMBERLUNE_QUIET_INTERRUPT=
  [ "${TAMBERLUNE_CALLER:-}" != "$PPID" ] || TAMBERLUNE_QUIET_INTERRUPT=yes
  export TAMBERLUNE_CALLER=$$
}

tamberlune_clean_up() {
  [ ${#TAMBERLUNE_LEFTOVERS[@]} -eq 0 ] || rm -rf -- "${TAMBERLUNE_LEFTOVERS[@]}"
}

tamberlune_interrupted() {
  # Between making a file and naming it a leftover, and between starting a
  # child and naming it (the trap would run before $! is kept), the
  # interrupt waits.
  if [ -n "${TAMBERLUNE_MAKING:-}" ]; then
    TAMBERLUNE_PENDING=$1
    return
  fi
  trap '' INT TERM
  if [ -n "$TAMBERLUNE_CHILD" ]; then
    tamberlune_stop "$TAMBERLUNE_CHILD" "$TAMBERLUNE_MARK"
  fi
  tamberlune_clean_up
  TAMBERLUNE_LEFTOVERS=()
  [ -n "$TAMBERLUNE_QUIET_INTERRUPT" ] || echo "$TAMBERLUNE_NAME: interrupted" >&2
  exit "$1"
}

# tamberlune_tree MARK: the processes that run under the tamberlune_run MARK
# names, a line each. Each carries the mark in its environment, so one whose
# parent has ended is found too; one that has ended (a zombie) has none.
tamberlune_tree() {
  grep -lzxE "TAMBERLUNE_TREE=(.*:)?$1(:.*)?" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}

# tamberlune_stop PID MARK: ends PID, and then whatever still runs under it
# (a build's make and compilers would run on orphaned). PID alone gets the
# signal first, so a command of ours ends its own children as it does (and a
# shell in the tree says nothing of children killed under it); then each
# process left gets it once. Returns once all have ended: what a terminate
# has not ended in 5 s is killed.
tamberlune_stop() {
  local pid left=()
  local -A told=()
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  for _ in {1..100}; do
    mapfile -t left < <(tamberlune_tree "$2")
    [ ${#left[@]} -gt 0 ] || return 0
    for pid in "${left[@]}"; do
      [ -n "${told[$pid]:-}" ] || kill -TERM "$pid" 2>/dev/null || true
      told[$pid]=yes
    done
    sleep 0.05
  done
  kill -KILL "${left[@]}" 2>/dev/null || true
}

# tamberlune_run COMMAND...: runs COMMAND, with this terminal, so that an
# interrupt reaches this shell at once (a shell runs its traps only between
# commands) and stops COMMAND too. Returns COMMAND's status.
tamberlune_run() {
  TAMBERLUNE_MAKING=yes
  TAMBERLUNE_MARK=$$-$RANDOM$RANDOM
  TAMBERLUNE_TREE=${TAMBERLUNE_TREE:+$TAMBERLUNE_TREE:}$TAMBERLUNE_MARK "$@" <&0 &
  TAMBERLUNE_CHILD=$!
  TAMBERLUNE_MAKING=
  [ -z "${TAMBERLUNE_PENDING:-}" ] || tamberlune_interrupted "$TAMBERLUNE_PENDING"
  local status=0
  wait "$TAMBERLUNE_CHILD" || status=$?
  TAMBERLUNE_CHILD=
  return "$status"
}

# tamberlune_run_into LOG COMMAND...: tamberlune_run, with COMMAND's output
# and errors in LOG; this command's own words (an interrupt's) still reach
# its standard error.
tamberlune_run_into() {
  tamberlune_run tamberlune_logged "$@"
}

tamberlune_logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1
}

# tamberlune_leftover PATH...: removed when this command ends, however it ends.
tamberlune_leftover() {
  TAMBERLUNE_LEFTOVERS+=("$@")
}

tamberlune_refuse() {
  echo "$TAMBERLUNE_NAME: $* (--help for more)" >&2
  exit 2
}

tamberlune_fail() {
  echo "$TAMBERLUNE_NAME: $*" >&2
  exit 1
}

# tamberlune_arguments "OPTIONS" MOST "$@": reads the arguments. OPTIONS are
# words: --flag, or --option= for one that takes a value (--option VALUE or
# --option=VALUE). MOST is how many other arguments (operands) are allowed.
# -h or --help prints the command's help (the function tamberlune_help) and
# exits 0; so does --version where the command has one (TAMBERLUNE_VERSION).
# Sets TAMBERLUNE_OPTION[--name] (a flag: yes) and the array
# TAMBERLUNE_OPERANDS. Refuses, exit 2, with one line: an unknown or repeated
# option, a missing or empty value, a value for a flag, an empty operand, one
# operand too many. After --, every argument is an operand.
tamberlune_arguments() {
  local options=" $1 " most=$2 argument name value operands=yes
  shift 2
  declare -gA TAMBERLUNE_OPTION=()
  TAMBERLUNE_OPERANDS=()
  while [ $# -gt 0 ]; do
    argument=$1
    shift
    if [ "$operands" = yes ] && [ "$argument" = -- ]; then
      operands=no
      continue
    fi
    if [ "$operands" = no ] || [[ "$argument" != -* ]] || [ "$argument" = - ]; then
      [ -n "$argument" ] || tamberlune_refuse "an empty argument: give a path or a value"
      [ ${#TAMBERLUNE_OPERANDS[@]} -lt "$most" ] ||
        tamberlune_refuse "one argument too many: '$argument'"
      TAMBERLUNE_OPERANDS+=("$argument")
      continue
    fi
    case "$argument" in
      -h | --help)
        tamberlune_help
        exit 0 ;;
      --version)
        # The installed commands say the package's version.
        if [ -n "$TAMBERLUNE_VERSION" ]; then
          echo "$TAMBERLUNE_NAME $TAMBERLUNE_VERSION"
          exit 0
        fi ;;
    esac
    name=${argument%%=*}
    if [[ "$options" == *" $name= "* ]]; then
      if [[ "$argument" == *=* ]]; then
        value=${argument#*=}
      elif [ $# -gt 0 ] && [[ "$1" != --* ]]; then
        value=$1
        shift
      else
        tamberlune_refuse "$name needs a value"
      fi
      [ -n "$value" ] || tamberlune_refuse "$name needs a value, not an empty one"
    elif [[ "$options" == *" $name "* ]]; then
      [ "$name" = "$argument" ] || tamberlune_refuse "$name takes no value"
      value=yes
    else
      tamberlune_refuse "unknown option '$name'"
    fi
    [ -z "${TAMBERLUNE_OPTION[$name]+given}" ] || tamberlune_refuse "$name given twice"
    TAMBERLUNE_OPTION[$name]=$value
  done
}

# tamberlune_option NAME [DEFAULT]: an option's value, or DEFAULT.
tamberlune_option() {
  printf '%s' "${TAMBERLUNE_OPTION[$1]:-${2:-}}"
}

# tamberlune_arches: the machines to boot, as a person reads them ("x64,
# ... or arm"), from the machine table.
tamberlune_arches() {
  tamberlune_machines boots --spoken
}

# tamberlune_arch ARCH: the boot of the machine table that ARCH names (a
# boot's name, or an alias of its machine's); else refuses.
tamberlune_arch() {
  tamberlune_machines boot "$1" 2>/dev/null ||
    tamberlune_refuse "--arch takes $(tamberlune_arches) (or the machine's Debian or GNU name), not '$1'"
}

# tamberlune_suffix ARCH: the images' name suffix for ARCH's build
# (Tamberlune$suffix.efi, BootOptions$suffix.efi); its payload folder is
# its machine's name (tamberlune_machines get ARCH machine).
tamberlune_suffix() {
  tamberlune_machines get "$1" suffix
}

# tamberlune_key KEY: prints the key to press: KEY (--key's value), else a
# key piped in, else nothing (the person types it). Refuses a key that is
# none of the boot choices' keys, none or one character.
tamberlune_key() {
  local key=$1
  if [ -z "$key" ] && [ ! -t 0 ]; then
    # A piped key: its line end is no keystroke, and no input at all is none.
    key=$(cat)
    key=${key:-none}
  fi
  local refused
  if [ -n "$key" ] && ! refused=$(tamberlune_machines key "$key" 2>&1); then
    tamberlune_refuse "${refused#machines: }"
  fi
  printf '%s' "$key"
}

# tamberlune_absolute PATH: PATH made absolute, as the folder it was named in
# reads it.
tamberlune_absolute() {
  case "$1" in
    /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$PWD" "$1" ;;
  esac
}

# tamberlune_firmware DIR: boots go to the U-Boot release unpacked in DIR
# (tools/firmware.sh); none given, to the installed one.
tamberlune_firmware() {
  [ -n "$1" ] || return 0
  [ -d "$1/usr/lib/u-boot" ] || tamberlune_fail "no U-Boot release in $1: fetch one with tools/firmware.sh --into $(dirname "$1") $(basename "$1")"
  TAMBERLUNE_FIRMWARE=$(tamberlune_absolute "$1")
  export TAMBERLUNE_FIRMWARE
}

# tamberlune_output PATH: checks, before any work, that PATH may be written:
# a new file or a regular one (through a symbolic link, the file it names),
# never a device, a folder or a read-only file, in a folder that exists and
# takes files. Prints where the file goes. Fails with one line.
tamberlune_output() {
  "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/output_file.py" "$TAMBERLUNE_NAME" "$1" || exit 1
}

# tamberlune_scratch: makes TAMBERLUNE_SCRATCH, a folder of this run's own,
# removed when it ends. An interrupt while mktemp runs waits until the folder
# is named for removal.
tamberlune_scratch() {
  local status=0
  TAMBERLUNE_MAKING=yes
  TAMBERLUNE_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tamberlune-XXXXXX" 2>/dev/null) || status=$?
  [ "$status" -ne 0 ] || tamberlune_leftover "$TAMBERLUNE_SCRATCH"
  TAMBERLUNE_MAKING=
  [ -z "${TAMBERLUNE_PENDING:-}" ] || tamberlune_interrupted "$TAMBERLUNE_PENDING"
  [ "$status" -eq 0 ] ||
    tamberlune_fail "cannot make a scratch folder in ${TMPDIR:-/tmp} (read-only, full or missing?): set TMPDIR to a folder that takes files"
}

# tamberlune_debian_mirror: this machine's Debian mirror, as its own apt
# configuration names it; fails, naming WHAT it was wanted for, without one.
tamberlune_debian_mirror() {
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(ORIGIN)' 'Identifier: Packages' 2>/dev/null |
           awk '$2 == "Debian" && $1 !~ /security/ { print $1; exit }')
  [ -n "$mirror" ] || tamberlune_fail "this machine's apt names no Debian mirror to $1 from"
  printf '%s' "$mirror"
}

# tamberlune_needs JOB: installs the Debian packages JOB (build, boot, sign
# or test) needs, when any is missing.
tamberlune_needs() {
  "$TAMBERLUNE_LIBRARY/../tools/install-deps.sh" "$1" || exit 1
}
