# bash completion for mapper: the options (read from its --help) and the
# values they take, world numbers and folders.
_mapper()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -w | --world)
            COMPREPLY=($(compgen -W '1 2 3 4 5' -- "$cur"))
            return
            ;;
        -o | --output | --data)
            _filedir -d
            return
            ;;
        --save-after)
            return
            ;;
        -h | --help | -V | --version)
            return
            ;;
    esac
    $split && return

    # The program takes no words but options.
    COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
} &&
    complete -F _mapper mapper
