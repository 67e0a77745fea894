norva_test(norva_image_tests DIR image LIBS norva_image LABELS image)
