// application pages live beside this file
