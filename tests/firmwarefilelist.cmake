# The file list test makes and removes "Kelvo Firmware" beside its own
# executable; a directory of its own keeps other test programs (which may
# use a folder of that name beside theirs) out of its way.
set_target_properties(tst_firmwarefilelist PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/filelist)
