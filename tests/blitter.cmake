norva_test(norva_blitter_tests DIR blitter LIBS norva_image LABELS image)
