varimond_add_test(tst_rtf SOURCES tst_rtf.cpp LIBS varimond_platform Qt6::Gui)
