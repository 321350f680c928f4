"""control_zelk: control and vision library of the educational robot car.

Modules: ``control_zelk.Drivox_1`` (controller board over the serial line),
``control_zelk.optik`` (camera and one detector class per vision task) and
``control_zelk.optik1`` (the all-in-one image class ``Img``).
"""
