# The Windows save-file dialog behind PromptSaveFileName. An object library, so that its object
# goes straight into the program and resolves the records library's call whatever the link order;
# the tests link the dialog-less twin (records/save_dialog_posix.cpp) instead.
add_library(ombrelo_records_win32 OBJECT ${CMAKE_CURRENT_LIST_DIR}/save_dialog_win32.cpp)
target_link_libraries(ombrelo_records_win32 PUBLIC ombrelo_records comdlg32)
