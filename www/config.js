// Settings an installation may override. wsPort is halyx's mqtt_ws_port;
// #ws=PORT at the end of the page's address takes precedence.
var halyxConfig = {
  wsPort: 8080,
};
