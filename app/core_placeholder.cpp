// application logic lives beside this file
