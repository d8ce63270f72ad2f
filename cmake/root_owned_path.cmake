# vlm_root_owned_path(PATH OUT): OUT is empty when PATH and every directory
# above it belong to root and nobody else can write them, else the reason.
# vlmperfinstall's rule for its target: a sticky directory above may be shared
# (others can't replace what root keeps in it); no link anywhere; parts that
# don't exist yet are skipped (root makes them).
function(vlm_root_owned_path path out)
  set(p "${path}")
  set(own TRUE)
  while(NOT p STREQUAL "")
    execute_process(COMMAND stat -c "%u %f" "${p}" OUTPUT_VARIABLE st ERROR_QUIET
      RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(rc EQUAL 0)
      string(REPLACE " " ";" st "${st}")
      list(GET st 0 uid)
      list(GET st 1 mode)
      math(EXPR type "0x${mode} & 61440")   # S_IFMT
      math(EXPR others "0x${mode} & 18")    # 022: group or others may write
      math(EXPR sticky "0x${mode} & 512")   # S_ISVTX
      if(type EQUAL 40960)                  # S_IFLNK
        set(${out} "${p} is a symbolic link" PARENT_SCOPE)
        return()
      elseif(NOT uid EQUAL 0)
        set(${out} "${p} belongs to user ${uid}, not root" PARENT_SCOPE)
        return()
      elseif(others AND (own OR NOT sticky))
        set(${out} "${p} is writable by other users" PARENT_SCOPE)
        return()
      endif()
    endif()
    set(own FALSE)
    if(p STREQUAL "/")
      break()
    endif()
    get_filename_component(p "${p}" DIRECTORY)
    if(p STREQUAL "")
      set(p "/")
    endif()
  endwhile()
  set(${out} "" PARENT_SCOPE)
endfunction()
