# Install step of the Windows program: copies into CMAKE_INSTALL_PREFIX every DLL that the program or its
# transport module loads, directly or through another DLL, and that lies in one of the search folders (Qt's and MinGW's). DLLs found
# in none of them are Windows' own and stay behind.
#
# In: OSTREL_DEPLOY_MODULES (the .exe and the module), OSTREL_DEPLOY_OBJDUMP, OSTREL_DEPLOY_SEARCH_DIRS (first match wins).

cmake_policy(PUSH)
cmake_policy(VERSION 3.16)

# Every DLL in the search folders by lower-case name; Windows compares module names without case.
set(_available "")
foreach(dir IN LISTS OSTREL_DEPLOY_SEARCH_DIRS)
    file(GLOB _dlls "${dir}/*.dll")
    foreach(dll IN LISTS _dlls)
        get_filename_component(_name "${dll}" NAME)
        string(TOLOWER "${_name}" _key)
        if(NOT DEFINED _path_of_${_key})
            set(_path_of_${_key} "${dll}")
        endif()
    endforeach()
endforeach()

set(_queue "${OSTREL_DEPLOY_MODULES}")
set(_shipped "")
while(_queue)
    list(POP_FRONT _queue _module)
    execute_process(COMMAND "${OSTREL_DEPLOY_OBJDUMP}" -p "${_module}"
                    OUTPUT_VARIABLE _headers RESULT_VARIABLE _status ERROR_VARIABLE _error)
    if(NOT _status EQUAL 0)
        message(FATAL_ERROR "objdump cannot read ${_module}: ${_error}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" _imports "${_headers}")
    foreach(_import IN LISTS _imports)
        string(REGEX REPLACE "^DLL Name: " "" _name "${_import}")
        string(STRIP "${_name}" _name)
        string(TOLOWER "${_name}" _key)
        if(DEFINED _path_of_${_key} AND NOT _key IN_LIST _shipped)
            list(APPEND _shipped "${_key}")
            list(APPEND _queue "${_path_of_${_key}}")
            file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}" TYPE SHARED_LIBRARY FILES "${_path_of_${_key}}")
        endif()
    endforeach()
endwhile()

cmake_policy(POP)
