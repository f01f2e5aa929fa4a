// placeholder until the calculator lands
