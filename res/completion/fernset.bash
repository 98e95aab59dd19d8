# bash completion for fernset: its commands, each command's options, set files (*.fcf, *.fci)
# where a set is asked for, and folders where a drive or a folder is.

_fernset_reply() {
  local line
  while IFS= read -r line; do COMPREPLY+=("$line"); done < <(compgen "$@")
}

_fernset() {
  local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD-1]}"
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    _fernset_reply -W 'backup list restore extract verify help --help --version' -- "$cur"
    return 0
  fi
  local command="${COMP_WORDS[1]}" options
  case "$command" in
    backup) options='--quick --label --letter -q' ;;
    list) options='--json' ;;
    restore) options='--yes-to-all --no-to-all -q' ;;
    extract) options='--to --overwrite' ;;
    verify) options='' ;;
    *) return 0 ;;
  esac
  # Names of files and folders are quoted as names, and folders get their slash.
  compopt -o filenames 2>/dev/null
  case "$prev" in
    --label | --letter) return 0 ;;
    --to) _fernset_reply -d -- "$cur"; return 0 ;;
  esac
  if [[ "$cur" == -* ]]; then
    _fernset_reply -W "$options" -- "$cur"
    return 0
  fi
  # Which operand this is: the words after the command, less the options and their values.
  local i operand=0
  for ((i = 2; i < COMP_CWORD; i++)); do
    case "${COMP_WORDS[i]}" in
      --label | --letter | --to) ((i++)) ;;
      -*) ;;
      *) ((operand++)) ;;
    esac
  done
  case "$command:$operand" in
    backup:* | restore:1) _fernset_reply -d -- "$cur" ;;
    list:0 | verify:0 | restore:0 | extract:0)
      _fernset_reply -f -X '!*.[fF][cC][fFiI]' -- "$cur"
      _fernset_reply -d -- "$cur"
      ;;
  esac
  return 0
}
complete -F _fernset fernset
