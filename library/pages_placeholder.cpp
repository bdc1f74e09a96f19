// catalogue pages live beside this file
