<%@ Language="JScript" %><%
// The 3-D line chart: six months of sales in three regions.
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 3;
chart.Width = 4;
chart.ChartType = 6;
chart.ChartTitle = "3-D line";
chart.Legends = 1;
chart.XTitle = "Month";
chart.YTitle = "Units";
var months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"];
var regions = ["North", "South", "West"];
chart.Rows(months.length);
chart.Columns(regions.length);
for (var r = 1; r <= months.length; r++) {
  chart.CurrentRow(r);
  chart.RowTitle(months[r - 1]);
  for (var c = 1; c <= regions.length; c++) {
    chart.CurrentColumn(c);
    if (r == 1) chart.ColumnTitle(regions[c - 1]);
    chart.SetData(10 + ((r * 7 + c * 13) % 23));
  }
}
if (Request.QueryString("img") == "bmp") chart.ImageType = "BMP";
chart.SendChart();
%>
