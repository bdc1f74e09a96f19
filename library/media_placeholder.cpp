// catalogue, probe and converter code lives beside this file
