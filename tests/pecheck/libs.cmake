set(TEST_LIBS pecheck_lib pecheck_fixture)
