norva_test(norva_blitfast_tests DIR blitfast LIBS norva_image LABELS image)
